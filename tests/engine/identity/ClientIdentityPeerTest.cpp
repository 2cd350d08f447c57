#include "engine/pairing/identity/ClientIdentity.hpp"

#include <cctype>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// The client certificate as openssl sees it. Made once: key generation is the slow part.
class ClientCertificateWithOpenssl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new test::TempDir;
        identity = ClientIdentityStore("Corvane Stream Client", platform::KeyStore(folder->path() / "keys")).loadOrCreate();
    }
    static void TearDownTestSuite() {
        delete folder;
        folder = nullptr;
    }
    static inline test::TempDir* folder = nullptr;
    static inline ClientIdentity identity;

    test::TempDir work;
    std::string write(const std::string& name, const std::string& content) {
        const auto path = work.path() / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    std::string writeDER() { return write("cert.der", std::string(identity.certificateDER.begin(), identity.certificateDER.end())); }
};

TEST_F(ClientCertificateWithOpenssl, ParsesAsASelfSignedVersion3CertificateWithTheLabelAsName) {
    const std::string der = writeDER();
    const auto text = test::runCommand("openssl x509 -inform DER -noout -text -in '" + der + "' 2>&1");
    ASSERT_EQ(text.status, 0) << text.output;
    for (const char* expected : {"Version: 3 (0x2)", "Issuer: CN = Corvane Stream Client", "Subject: CN = Corvane Stream Client",
                                 "Signature Algorithm: sha256WithRSAEncryption", "Public-Key: (2048 bit)"})
        EXPECT_NE(text.output.find(expected), std::string::npos) << expected << "\n" << text.output;
    const auto asn1 = test::runCommand("openssl asn1parse -inform DER -in '" + der + "' 2>&1");
    EXPECT_NE(asn1.output.find("UTF8STRING        :Corvane Stream Client"), std::string::npos) << asn1.output;

    const std::string pem = write("cert.pem", identity.certificatePEM());
    const auto verify = test::runCommand("openssl verify -check_ss_sig -CAfile '" + pem + "' '" + pem + "' 2>&1");
    EXPECT_EQ(verify.status, 0) << verify.output;
}

TEST_F(ClientCertificateWithOpenssl, PemUniqueIdAndStoredKeyMatchOpenssl) {
    const std::string der = writeDER();
    EXPECT_EQ(identity.certificatePEM(), test::runCommand("openssl x509 -inform DER -outform PEM -in '" + der + "'").output);
    std::string expected = test::runCommand("openssl dgst -sha256 -r '" + der + "'").output.substr(0, 16);
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(identity.uniqueID(), expected);

    std::string keyFile;
    for (const auto& entry : std::filesystem::directory_iterator(folder->path() / "keys"))
        if (entry.path().string().ends_with(".key.pem")) keyFile = entry.path().string();
    const auto fromKey = test::runCommand("openssl pkey -in '" + keyFile + "' -pubout 2>&1");
    ASSERT_EQ(fromKey.status, 0) << fromKey.output;
    EXPECT_EQ(fromKey.output, test::runCommand("openssl x509 -inform DER -in '" + der + "' -noout -pubkey").output);
}

} // namespace
} // namespace corvane::stream
