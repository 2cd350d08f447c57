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
    Bytes read(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return bytesOf(text.str());
    }
    std::string path(const std::string& name) { return (work.path() / name).string(); }
};

TEST_F(PairingCryptoWithOpenssl, AesEcbAndDigestMatchFips197AndOpenssl) {
    const Bytes key = *bytesFromHex("000102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(hex(PairingCrypto::aesECB(*bytesFromHex("00112233445566778899AABBCCDDEEFF"), key, true)),
              "69C4E0D86A7B0430D8CDB78070B4C55A");
    const Bytes data = PairingCrypto::random(48);
    const auto run = test::runCommand("openssl enc -aes-128-ecb -nopad -K " + hex(key) + " -in '" +
                                      write("plain.bin", data) + "' -out '" + path("sealed.bin") + "' 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(PairingCrypto::aesECB(data, key, true), read(path("sealed.bin")));

    const auto digest = test::runCommand("openssl dgst -sha256 -r '" + write("data.bin", data) + "'");
    EXPECT_EQ(*bytesFromHex(digest.output.substr(0, 64)),
              PairingCrypto::sha256(ByteView(data).first(10), ByteView(data).subspan(10)));
}

TEST_F(PairingCryptoWithOpenssl, SignaturesVerifyBothWays) {
    const Bytes message = bytesOf("client challenge response");
    const std::string messageFile = write("message.bin", message);
    const std::string pub = path("pub.pem");
    ASSERT_EQ(test::runCommand("openssl x509 -inform DER -in '" + write("cert.der", certificate) + "' -noout -pubkey > '" +
                               pub + "'").status,
              0);
    const auto verify = test::runCommand("openssl dgst -sha256 -verify '" + pub + "' -signature '" +
                                         write("ours.bin", PairingCrypto::sign(message, key)) + "' '" + messageFile + "' 2>&1");
    EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;

    const auto sign = test::runCommand("openssl dgst -sha256 -sign '" + write("key.pem", bytesOf(key.toPem())) + "' -out '" +
                                       path("theirs.bin") + "' '" + messageFile + "' 2>&1");
    ASSERT_EQ(sign.status, 0) << sign.output;
    const Bytes signature = read(path("theirs.bin"));
    EXPECT_TRUE(PairingCrypto::verify(message, signature, certificate));
    EXPECT_FALSE(PairingCrypto::verify(bytesOf("client challenge responsE"), signature, certificate));
}

} // namespace
} // namespace corvane::stream
