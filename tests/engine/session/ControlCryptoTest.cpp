#include "engine/session/ControlCrypto.hpp"
#include "platform/crypto/AesGcm.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

using Style = ControlCrypto::IVStyle;
using Kind = ControlCrypto::Error::Kind;

const Bytes kKey{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

std::optional<Kind> failureOf(ControlCrypto& crypto, const Bytes& data, bool fromHost) {
    const auto error = test::errorOf<ControlCrypto::Error>([&] { crypto.open(data, fromHost); });
    return error ? std::optional(error->kind) : std::nullopt;
}

TEST(ControlCryptoTest, FramesPlainAndSealedMessagesByteForByte) {
    EXPECT_EQ(ControlCrypto::plain(0x0302, Bytes(4, 0)), (Bytes{0x02, 0x03, 0x04, 0x00, 0, 0, 0, 0}));
    // 01 00 | length | sequence 300 | tag | type 0x0206, length 5, "input" sealed; made with Python's AES-GCM.
    const Bytes key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    EXPECT_EQ(test::hexOf(ControlCrypto(key, Style::v1).seal(0x0206, bytesOf("input"), 300, false)),
              "01001D002C010000F6D39AA4F7C2C0877AB4E00CD7D1E00DED27A6ABD2A4007CFE");
    EXPECT_EQ(test::hexOf(ControlCrypto(key, Style::v2).seal(0x0206, bytesOf("input"), 300, false)),
              "01001D002C0100001F5BCEDB43CBD0D8BA90BCB670632115A14B13EF703456FB59");
}

TEST(ControlCryptoTest, NoncesOfBothStylesAndOpeningEitherStyle) {
    EXPECT_EQ(ControlCrypto::iv(0x1234567, Style::v2, true),
              (Bytes{0x67, 0x45, 0x23, 0x01, 0, 0, 0, 0, 0, 0, 0x48, 0x43}));
    EXPECT_EQ(ControlCrypto::iv(7, Style::v2, false), (Bytes{7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x43, 0x43}));
    Bytes v1(16, 0);
    v1[0] = 1;
    EXPECT_EQ(ControlCrypto::iv(257, Style::v1, true), v1); // repeats every 256 and ignores the direction
    // Either style opens and is reported; the caller decides whether to switch. Direction matters for v2 only.
    ControlCrypto v2(kKey, Style::v2);
    const Bytes fromHost = v2.seal(0x010B, Bytes(10, 1), 9, true);
    ControlCrypto opener(kKey, Style::v1);
    EXPECT_EQ(opener.open(fromHost, true), (ControlCrypto::Opened{0x010B, Bytes(10, 1), 9, Style::v2}));
    EXPECT_EQ(opener.ivStyle, Style::v1);
    EXPECT_EQ(failureOf(opener, fromHost, false), Kind::authentication);
    const Bytes legacy = ControlCrypto(kKey, Style::v1).seal(0x010B, Bytes(10, 1), 9, true);
    EXPECT_EQ(v2.open(legacy, false).style, Style::v1);
}

TEST(ControlCryptoTest, RefusesDamagedMessagesWithTheFirstFailingCheck) {
    ControlCrypto crypto(kKey, Style::v2);
    const Bytes good = crypto.seal(0x0200, Bytes(12, 0), 3, true); // 40 bytes
    const auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes data = good;
        data[at] = value;
        return data;
    };
    Bytes tooShort(27, 0);
    tooShort[0] = 1;
    const struct { const char* name; Bytes data; Kind kind; } rows[] = {
        {"27 bytes", tooShort, Kind::tooShort},
        {"marker 2", changed(0, 2), Kind::notEncrypted},
        {"length 35 of 36", changed(2, 35), Kind::badLength},
        {"ciphertext bit", changed(30, good[30] ^ 0x10), Kind::authentication},
        {"sequence number", changed(4, good[4] ^ 0x01), Kind::authentication},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(failureOf(crypto, row.data, true), row.kind);
    }
    EXPECT_EQ(crypto.open(good, true).payload, Bytes(12, 0));
}

TEST(ControlCryptoTest, LengthFieldsAreCutToTheDataAndPayloadsThatWouldOverflowThemAreRefused) {
    // A sender may claim more payload than it encrypted; only what is there comes out.
    const Bytes plain{0x0B, 0x01, 100, 0, 0xAA, 0xBB};
    platform::AesGcm gcm(kKey);
    Bytes sealed{0x01, 0x00, static_cast<std::uint8_t>(20 + plain.size()), 0x00, 5, 0, 0, 0};
    sealed.resize(24 + plain.size());
    ASSERT_TRUE(gcm.seal(ControlCrypto::iv(5, Style::v2, true), plain,
                         std::span<std::uint8_t>(sealed.data() + 24, plain.size()),
                         std::span<std::uint8_t, 16>(sealed.data() + 8, 16)));
    ControlCrypto crypto(kKey, Style::v2);
    const auto opened = crypto.open(sealed, true);
    EXPECT_EQ(opened.type, 0x010B);
    EXPECT_EQ(opened.payload, (Bytes{0xAA, 0xBB}));
    // Payloads that would overflow the length field are refused.
    const Bytes largest = crypto.seal(1, Bytes(65511, 0), 1, false);
    EXPECT_EQ(crypto.open(largest, false).payload.size(), 65511u);
    EXPECT_THROW(crypto.seal(1, Bytes(65512, 0), 2, false), ControlCrypto::Error);
    EXPECT_EQ(ControlCrypto::plain(1, Bytes(65535, 0)).size(), 65539u);
    EXPECT_THROW(ControlCrypto::plain(1, Bytes(65536, 0)), ControlCrypto::Error);
    EXPECT_THROW(ControlCrypto(Bytes(15, 0), Style::v2), corvane::Error);
}

} // namespace
} // namespace corvane::stream
