#include "engine/Text.hpp"

#include <gtest/gtest.h>

namespace corvane::stream::text {
namespace {

TEST(Text, TrimsUnicodeWhitespaceAtTheEndsOnly) {
    EXPECT_EQ(trimWhitespace(" \t\r\n1\n "), "1");
    EXPECT_EQ(trimWhitespace(" x  z "), "x  z");
    EXPECT_EQ(trimWhitespace("\xC2\xA0" "a" "\xE2\x80\xA8"), "a");  // no-break space, line separator
    EXPECT_EQ(trimWhitespace("   "), "");
    // Bytes that are not UTF-8 are kept, never stepped over.
    EXPECT_EQ(trimWhitespace("\xA0 a \xC2"), "\xA0 a \xC2");
    EXPECT_EQ(trimBlanks("\t a\n"), "a\n");
}

TEST(Text, SplitsAtEveryLineEnd) {
    const auto lines = splitLines("a\r\nb\x0B" "c\xE2\x80\xA9" "d");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "b");
    EXPECT_EQ(lines[3], "c");
    EXPECT_EQ(lines[4], "d");
}

TEST(Text, ReadsOnlyPlainDecimalIntegers) {
    EXPECT_EQ(parseInteger("+200"), 200);
    EXPECT_EQ(parseInteger("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parseInteger("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", " 200", "200 ", "+", "1.5", "9223372036854775808", "0x10", "--1"})
        EXPECT_FALSE(parseInteger(bad).has_value()) << bad;
}

} // namespace
} // namespace corvane::stream::text
