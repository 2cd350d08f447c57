#include "engine/pairing/identity/ClientIdentity.hpp"

#include <cctype>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "engine/pairing/identity/Hex.hpp"
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

TEST_F(ClientCertificateWithOpenssl, ParsesAsAVersion3CertificateWithTheLabelAsName) {
    const std::string der = writeDER();
    const auto text = test::runCommand("openssl x509 -inform DER -noout -text -in '" + der + "' 2>&1");
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("Version: 3 (0x2)"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Issuer: CN = Corvane Stream Client"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Subject: CN = Corvane Stream Client"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Signature Algorithm: sha256WithRSAEncryption"), std::string::npos);
    EXPECT_NE(text.output.find("Public-Key: (2048 bit)"), std::string::npos);

    const auto asn1 = test::runCommand("openssl asn1parse -inform DER -in '" + der + "' 2>&1");
    ASSERT_EQ(asn1.status, 0) << asn1.output;
    EXPECT_NE(asn1.output.find(":commonName"), std::string::npos);
    EXPECT_NE(asn1.output.find("UTF8STRING        :Corvane Stream Client"), std::string::npos) << asn1.output;
}

TEST_F(ClientCertificateWithOpenssl, VerifiesAsSelfSigned) {
    const std::string pem = write("cert.pem", identity.certificatePEM());
    const auto verify = test::runCommand("openssl verify -check_ss_sig -CAfile '" + pem + "' '" + pem + "' 2>&1");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find(": OK"), std::string::npos) << verify.output;
}

TEST_F(ClientCertificateWithOpenssl, PemAndUniqueIdMatchOpenssl) {
    const std::string der = writeDER();
    const auto pem = test::runCommand("openssl x509 -inform DER -outform PEM -in '" + der + "'");
    ASSERT_EQ(pem.status, 0);
    EXPECT_EQ(identity.certificatePEM(), pem.output);

    const auto digest = test::runCommand("openssl dgst -sha256 -r '" + der + "'");
    ASSERT_EQ(digest.status, 0);
    std::string expected = digest.output.substr(0, 16);
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(identity.uniqueID(), expected);
}

TEST_F(ClientCertificateWithOpenssl, StoredKeyIsReadableByOpensslAndBelongsToTheCertificate) {
    std::string keyFile;
    for (const auto& entry : std::filesystem::directory_iterator(folder->path() / "keys"))
        if (entry.path().string().ends_with(".key.pem")) keyFile = entry.path().string();
    ASSERT_FALSE(keyFile.empty());
    const auto fromKey = test::runCommand("openssl pkey -in '" + keyFile + "' -pubout 2>&1");
    ASSERT_EQ(fromKey.status, 0) << fromKey.output;
    const auto fromCertificate = test::runCommand("openssl x509 -inform DER -in '" + writeDER() + "' -noout -pubkey");
    ASSERT_EQ(fromCertificate.status, 0);
    EXPECT_EQ(fromKey.output, fromCertificate.output);
}

} // namespace
} // namespace corvane::stream
