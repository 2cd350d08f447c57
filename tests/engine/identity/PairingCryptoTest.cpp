#include "engine/pairing/identity/PairingCrypto.hpp"

#include <gtest/gtest.h>

#include "engine/pairing/identity/ClientIdentity.hpp"
#include "engine/pairing/identity/Hex.hpp"

namespace corvane::stream {
namespace {

TEST(PairingCrypto, DigestsKeysAndRandomBytes) {
    EXPECT_NE(PairingCrypto::random(16), PairingCrypto::random(16));
    EXPECT_EQ(PairingCrypto::sha256({bytesOf("a"), bytesOf("bc")}), PairingCrypto::sha256(bytesOf("abc")));
    EXPECT_EQ(hex(PairingCrypto::sha256()), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    const Bytes salt = *bytesFromHex("00112233445566778899AABBCCDDEEFF");
    Bytes expected = PairingCrypto::sha256(salt, Bytes{0x30, 0x30, 0x34, 0x32});
    expected.resize(16);
    EXPECT_EQ(PairingCrypto::pairingKey(salt, "0042"), expected);
}

TEST(PairingCrypto, AesEcbEncryptsEachBlockAloneAndFailsOutsideItsLimits) {
    const Bytes key = PairingCrypto::pairingKey(bytesOf("salt"), "1234");
    Bytes data(48, 0x5A);
    data[40] = 0x01;
    const Bytes sealed = PairingCrypto::aesECB(data, key, true);
    ASSERT_EQ(sealed.size(), 48u);
    EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 16), Bytes(sealed.begin() + 16, sealed.begin() + 32));
    EXPECT_NE(Bytes(sealed.begin() + 16, sealed.begin() + 32), Bytes(sealed.begin() + 32, sealed.end()));
    EXPECT_EQ(PairingCrypto::aesECB(sealed, key, false), data);

    EXPECT_THROW(PairingCrypto::aesECB(Bytes(17, 0), key, true), PairingCrypto::Error);
    EXPECT_THROW(PairingCrypto::aesECB(Bytes(16, 0), Bytes(24, 1), false), PairingCrypto::Error);
    try {
        PairingCrypto::aesECB(Bytes(8, 0), key, false);
        ADD_FAILURE();
    } catch (const PairingCrypto::Error& error) {
        EXPECT_STREQ(error.what(), "aes(status: -4303)");
    }
}

TEST(PairingCrypto, SignaturesVerifyUnderTheClientCertificate) {
    const auto [key, certificate] = ClientIdentity::generate("Signer", std::nullopt, nullptr);
    const Bytes message = bytesOf("server challenge");
    const Bytes signature = PairingCrypto::sign(message, key);
    EXPECT_EQ(signature.size(), 256u);
    EXPECT_TRUE(PairingCrypto::verify(message, signature, certificate));
    EXPECT_FALSE(PairingCrypto::verify(bytesOf("other data"), signature, certificate));
    EXPECT_FALSE(PairingCrypto::verify(message, signature, bytesOf("not a certificate")));
    EXPECT_THROW(PairingCrypto::sign(message, platform::PrivateKey()), PairingCrypto::Error);
}

} // namespace
} // namespace corvane::stream
