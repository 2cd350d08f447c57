#include "engine/Text.hpp"
#include <gtest/gtest.h>

namespace corvane::stream::text {
namespace {

TEST(Text, TrimsUnicodeWhitespaceAtTheEndsOnlyAndReadsOnlyPlainDecimalIntegers) {
    EXPECT_EQ(trimWhitespace(" \t\r\n1\n "), "1");
    EXPECT_EQ(trimWhitespace(" x  z "), "x  z");
    EXPECT_EQ(trimWhitespace("\xC2\xA0" "a" "\xE2\x80\xA8"), "a");  // no-break space, line separator
    // Bytes that are not UTF-8 are kept, never stepped over.
    EXPECT_EQ(trimWhitespace("\xA0 a \xC2"), "\xA0 a \xC2");
    EXPECT_EQ(trimBlanks("\t a\n"), "a\n");
    const auto lines = splitLines("a\r\nb\x0B" "c\xE2\x80\xA9" "d");
    EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "", "b", "c", "d"}));
    EXPECT_EQ(parseInteger("+200"), 200);
    EXPECT_EQ(parseInteger("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parseInteger("9223372036854775807"), INT64_MAX);
    for (const char* bad : {"", " 200", "200 ", "+", "1.5", "9223372036854775808", "0x10", "--1"})
        EXPECT_FALSE(parseInteger(bad).has_value()) << bad;
}

TEST(Text, BoxTextForALogLineCannotForgeLines) {
    const struct { std::string in; std::size_t limit; std::string out; } cases[] = {
        {"Box\nsession: forged", 512, "Box\\nsession: forged"},
        {"a\r\tb\x01\x7F", 512, "a\\r\\tb\\x01\\x7F"},
        {"\xC2\x85" "x\xE2\x80\xA8" "y\xE2\x80\xA9", 512, "\\u0085x\\u2028y\\u2029"},
        {"bad \xFF byte", 512, "bad \\xFF byte"},
        {"Bo\xC3\xAEte", 512, "Bo\xC3\xAEte"},
        {"abcdef", 4, "abcd..."},
        {"ab\xC3\xAE", 3, "ab..."},  // a character the limit would cut is left out whole
        {"", 4, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(forLog(c.in, c.limit), c.out) << c.in;
}

} // namespace
} // namespace corvane::stream::text
