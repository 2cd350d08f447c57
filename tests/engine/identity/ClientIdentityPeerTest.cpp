// The client identity and the pairing primitives as openssl sees them.
#include "engine/pairing/identity/ClientIdentity.hpp"
#include <filesystem>
#include <gtest/gtest.h>
#include "engine/pairing/identity/Hex.hpp"
#include "engine/pairing/identity/PairingCrypto.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

class IdentityWithOpenssl : public ::testing::Test {
protected:
    test::TempDir folder, work;
    ClientIdentity identity =
        ClientIdentityStore("Corvane Stream Client", platform::KeyStore(folder.path() / "keys")).loadOrCreate();
    std::string write(const std::string& name, ByteView content) {
        test::writeWhole(work.path() / name, content);
        return at(name);
    }
    Bytes read(const std::string& name) { return bytesOf(test::readWhole(work.path() / name)); }
    std::string at(const std::string& name) { return "'" + (work.path() / name).string() + "'"; }
    static std::string run(const std::string& command) { return test::runCommand(command + " 2>&1").output; }
};

TEST_F(IdentityWithOpenssl, TheCertificateIsAValidSelfSignedV3CertificateOfItsStoredKey) {
    const std::string der = write("cert.der", identity.certificateDER);
    const std::string text = run("openssl x509 -inform DER -noout -text -in " + der);
    for (const char* expected : {"Version: 3 (0x2)", "Issuer: CN = Corvane Stream Client", "Subject: CN = Corvane Stream Client",
                                 "Signature Algorithm: sha256WithRSAEncryption", "Public-Key: (2048 bit)", "Exponent: 65537"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    EXPECT_NE(run("openssl asn1parse -inform DER -in " + der).find("UTF8STRING        :Corvane Stream Client"), std::string::npos);
    const std::string pem = write("cert.pem", bytesOf(identity.certificatePEM()));
    EXPECT_EQ(test::runCommand("openssl verify -check_ss_sig -CAfile " + pem + " " + pem + " 2>&1").status, 0);
    EXPECT_EQ(identity.certificatePEM(), run("openssl x509 -inform DER -outform PEM -in " + der));
    EXPECT_EQ(identity.uniqueID(), hex(*bytesFromHex(run("openssl dgst -sha256 -r " + der).substr(0, 16))));
    for (const auto& entry : std::filesystem::directory_iterator(folder.path() / "keys")) {
        if (!entry.path().string().ends_with(".key.pem")) continue;
        EXPECT_EQ(run("openssl pkey -pubout -in '" + entry.path().string() + "'"),
                  run("openssl x509 -inform DER -noout -pubkey -in " + der));
    }
}

TEST_F(IdentityWithOpenssl, SignaturesAndDigestsAgreeWithOpenssl) {
    const Bytes message = bytesOf("client challenge response");
    const std::string messageFile = write("message.bin", message);
    const std::string certificate = write("cert.der", identity.certificateDER);
    run("openssl x509 -inform DER -noout -pubkey -in " + certificate + " > " + at("pub.pem"));
    EXPECT_NE(run("openssl dgst -sha256 -verify " + at("pub.pem") + " -signature " +
                  write("ours.bin", PairingCrypto::sign(message, identity.privateKey)) + " " + messageFile)
                  .find("Verified OK"),
              std::string::npos);
    run("openssl dgst -sha256 -sign " + write("key.pem", bytesOf(identity.privateKey.toPem())) + " -out " +
        at("theirs.bin") + " " + messageFile);
    EXPECT_TRUE(PairingCrypto::verify(message, read("theirs.bin"), identity.certificateDER));
    EXPECT_FALSE(PairingCrypto::verify(bytesOf("client challenge responsE"), read("theirs.bin"), identity.certificateDER));
    const Bytes data = PairingCrypto::random(48);
    EXPECT_EQ(bytesFromHex(run("openssl dgst -sha256 -r " + write("data.bin", data)).substr(0, 64)),
              PairingCrypto::sha256(ByteView(data).first(10), ByteView(data).subspan(10)));
}

} // namespace
} // namespace corvane::stream
