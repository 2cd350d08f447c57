#include "engine/pairing/identity/PairingCrypto.hpp"
#include <tuple>
#include <gtest/gtest.h>
#include "engine/pairing/identity/Hex.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

// AES itself is the platform layer's, checked against the published vector there; here what pairing adds.
TEST(PairingCrypto, KeyFromSaltAndPinAesRefusalsAndHexUpperCaseOutAndStrictIn) {
    const Bytes salt = *bytesFromHex("00112233445566778899AABBCCDDEEFF");
    // SHA-256 of the salt and "0042", cut to 16 bytes.
    EXPECT_EQ(hex(PairingCrypto::pairingKey(salt, "0042")), "3E20BD76D9872FBF31A91365570852BD");
    EXPECT_NE(PairingCrypto::random(16), PairingCrypto::random(16));
    for (const auto& [size, keySize, text] : {std::tuple{8, 16, "aes(status: -4303)"}, {17, 16, "aes(status: -4303)"},
                                              {16, 24, "aes(status: -4310)"}}) {
        const Bytes data(size, 0), key(keySize, 1);
        EXPECT_EQ(test::failureOf<PairingCrypto::Error>([&] { PairingCrypto::aesECB(data, key, false); }), text)
            << size << "/" << keySize;
    }
    EXPECT_THROW(PairingCrypto::sign(bytesOf("m"), platform::PrivateKey()), PairingCrypto::Error);
    EXPECT_EQ(hex(Bytes{0x00, 0x0A, 0xFF}), "000AFF");
    EXPECT_EQ(bytesFromHex("0a1B"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(bytesFromHex(""), Bytes{});
    for (const char* bad : {"abc", "0g", "0 ", " 0", "0x10", "+1", "-1", "0\n", "\xC3\xA9"})
        EXPECT_FALSE(bytesFromHex(bad).has_value()) << bad;
}

// Pairing's challenges span more than one block: each block is its own, with no chaining between them.
TEST(PairingCrypto, AesEcbGoesBlockByBlock) {
    const Bytes key = *bytesFromHex("000102030405060708090A0B0C0D0E0F");
    const Bytes data = *bytesFromHex("00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(hex(PairingCrypto::aesECB(data, key, true)), "69C4E0D86A7B0430D8CDB78070B4C55A69C4E0D86A7B0430D8CDB78070B4C55A");
    EXPECT_EQ(PairingCrypto::aesECB(PairingCrypto::aesECB(data, key, true), key, false), data);
}

} // namespace
} // namespace corvane::stream
