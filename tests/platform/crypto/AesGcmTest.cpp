#include "platform/crypto/AesGcm.hpp"
#include "platform/crypto/Crypto.hpp"
#include <gtest/gtest.h>
#include <array>
#include <span>
#include <cstdint>
#include <string>

namespace corvane::platform {
namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Test case 3 of the published GCM test vectors (McGrew and Viega; AES-128, 96-bit IV, no AAD).
const Bytes kKey = hex("feffe9928665731c6d6a8f9467308308");
const Bytes kNonce = hex("cafebabefacedbaddecaf888");
const Bytes kPlain = hex("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255");
const Bytes kCipher = hex("42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e"
                          "21d514b25466931c7d8f6a5aac84aa051ba30b396a0aac973d58e091473f5985");
const Bytes kTag = hex("4d5c2af327cd64a62cf35abd2ba6fab4");

using Tag = std::span<const std::uint8_t, 16>;

// Nonces of both lengths through one context are the control channel's, and tested with it.
TEST(AesGcmTest, MatchesThePublishedVectorRefusesAnyChangeAndCopiesKeepTheirOwnKey) {
    AesGcm original(kKey);
    AesGcm gcm = original;
    original = AesGcm(Bytes(16, 0));
    Bytes cipher(kPlain.size());
    std::array<std::uint8_t, 16> tag{};
    ASSERT_TRUE(gcm.seal(kNonce, kPlain, cipher, tag));
    EXPECT_EQ(cipher, kCipher);
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), kTag);
    Bytes plain(kCipher.size());
    const auto flipped = [](Bytes bytes, std::size_t at) { bytes[at] ^= 0x01; return bytes; };
    const Bytes badTag = flipped(kTag, 15);
    EXPECT_FALSE(gcm.open(kNonce, flipped(kCipher, 7), Tag(kTag.data(), 16), plain));
    EXPECT_FALSE(gcm.open(kNonce, kCipher, Tag(badTag.data(), 16), plain));
    EXPECT_FALSE(gcm.open(flipped(kNonce, 0), kCipher, Tag(kTag.data(), 16), plain));
    // A failure leaves the context usable for the next message.
    ASSERT_TRUE(gcm.open(kNonce, kCipher, Tag(kTag.data(), 16), plain));
    EXPECT_EQ(plain, kPlain);
    for (std::size_t size : {15u, 32u}) EXPECT_THROW(AesGcm(Bytes(size, 0)), CryptoError) << size;
    Bytes shortOut(kPlain.size() - 1);
    EXPECT_FALSE(gcm.seal(kNonce, kPlain, shortOut, tag));
}

} // namespace
} // namespace corvane::platform
