#include "engine/pairing/identity/PairingCrypto.hpp"

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/pairing/identity/ClientIdentity.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

class PairingCryptoWithOpenssl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::tie(key, certificate) = ClientIdentity::generate("Peer", std::nullopt, nullptr);
    }
    static inline platform::PrivateKey key;
    static inline Bytes certificate;

    test::TempDir work;
    std::string write(const std::string& name, ByteView content) {
        const auto path = work.path() / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                    static_cast<std::streamsize>(content.size()));
        return path.string();
    }
    std::string write(const std::string& name, const std::string& content) { return write(name, bytesOf(content)); }
    Bytes read(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return bytesOf(text.str());
    }
};

TEST_F(PairingCryptoWithOpenssl, AesEcbMatchesFips197AndOpenssl) {
    const Bytes key = *bytesFromHex("000102030405060708090A0B0C0D0E0F");
    const Bytes plain = *bytesFromHex("00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(hex(PairingCrypto::aesECB(plain, key, true)), "69C4E0D86A7B0430D8CDB78070B4C55A");

    // Three blocks through openssl's own cipher.
    const Bytes data = PairingCrypto::random(48);
    const std::string in = write("plain.bin", data);
    const std::string out = (work.path() / "sealed.bin").string();
    const auto run = test::runCommand("openssl enc -aes-128-ecb -nopad -K " + hex(key) + " -in '" + in + "' -out '" +
                                      out + "' 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(PairingCrypto::aesECB(data, key, true), read(out));
}

TEST_F(PairingCryptoWithOpenssl, OurSignaturesVerifyWithOpenssl) {
    const Bytes message = bytesOf("client challenge response");
    const std::string messageFile = write("message.bin", message);
    const std::string signatureFile = write("signature.bin", PairingCrypto::sign(message, key));
    const std::string der = write("cert.der", certificate);
    const std::string pub = (work.path() / "pub.pem").string();
    ASSERT_EQ(test::runCommand("openssl x509 -inform DER -in '" + der + "' -noout -pubkey > '" + pub + "'").status, 0);
    const auto verify = test::runCommand("openssl dgst -sha256 -verify '" + pub + "' -signature '" + signatureFile +
                                         "' '" + messageFile + "' 2>&1");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;
}

TEST_F(PairingCryptoWithOpenssl, OpensslSignaturesVerifyWithOurs) {
    const Bytes message = bytesOf("server secret and signature");
    const std::string messageFile = write("message.bin", message);
    const std::string keyFile = write("key.pem", key.toPem());
    const std::string signatureFile = (work.path() / "signature.bin").string();
    const auto sign = test::runCommand("openssl dgst -sha256 -sign '" + keyFile + "' -out '" + signatureFile + "' '" +
                                       messageFile + "' 2>&1");
    ASSERT_EQ(sign.status, 0) << sign.output;
    const Bytes signature = read(signatureFile);
    EXPECT_TRUE(PairingCrypto::verify(message, signature, certificate));
    EXPECT_FALSE(PairingCrypto::verify(bytesOf("server secret and signaturE"), signature, certificate));
}

TEST_F(PairingCryptoWithOpenssl, DigestMatchesOpenssl) {
    const Bytes data = PairingCrypto::random(1000);
    const auto digest = test::runCommand("openssl dgst -sha256 -r '" + write("data.bin", data) + "'");
    ASSERT_EQ(digest.status, 0);
    EXPECT_EQ(*bytesFromHex(digest.output.substr(0, 64)),
              PairingCrypto::sha256(ByteView(data).first(10), ByteView(data).subspan(10)));
}

} // namespace
} // namespace corvane::stream
