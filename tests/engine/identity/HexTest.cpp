#include "engine/pairing/identity/Hex.hpp"

#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

TEST(Hex, WritesUpperCaseAndReadsEitherCaseAndNothingElse) {
    EXPECT_EQ(hex(Bytes{0x00, 0x0A, 0xFF}), "000AFF");
    EXPECT_EQ(bytesFromHex("0a1B"), (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(bytesFromHex(""), Bytes{});
    for (const char* bad : {"abc", "0g", "0 ", " 0", "0x10", "+1", "-1", "0\n", "\xC3\xA9"})
        EXPECT_FALSE(bytesFromHex(bad).has_value()) << bad;
    Bytes all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(bytesFromHex(hex(all)), all);
}

} // namespace
} // namespace corvane::stream
