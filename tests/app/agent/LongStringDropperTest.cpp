#include "app/services/agent/LongStringDropper.hpp"
#include <gtest/gtest.h>
#include <string>

namespace corvane {
namespace {

// Strings of more than 6 bytes as written come out as ""; what comes out is refused past 24 bytes. Each
// text goes in whole, split in two at every place, and byte by byte.
TEST(LongStringDropperTest, DropsTheContentsOfLongStringsOnly) {
    const std::string refused = "(refused)";
    const struct { std::string in, out; } rows[] = {
        {R"({"abcdef":"uvwxyz"})", R"({"abcdef":"uvwxyz"})"},
        {R"({"a":"abcdefg","seq":7})", R"({"a":"","seq":7})"},
        {R"({"abcdefg":1,"seq":7})", R"({"":1,"seq":7})"},
        {R"({"t":"ab\"cd\"","s":1})", R"({"t":"","s":1})"},
        {R"({"t":"\"}\"","s":"]"})", R"({"t":"\"}\"","s":"]"})"},
        {R"({"t":"\\","s":"abcdefg"})", R"({"t":"\\","s":""})"},
        {R"({"t":"abc\\\\"})", R"({"t":""})"},
        {R"(["\u00e9","a\u00e9"])", R"(["\u00e9",""])"},
        {R"({"t":")" + std::string(200, 'x') + R"(","seq":42})", R"({"t":"","seq":42})"},
        {R"({"s":"abcdef","n":12345})", R"({"s":"abcdef","n":12345})"},
        {R"({"s":"abcdef","n":123456})", refused},
        {R"(["a","b","c","d","e","f","g"])", refused},
    };
    const auto run = [&](const std::vector<std::string>& pieces) {
        LongStringDropper dropper(6, 24);
        for (const auto& piece : pieces)
            if (!dropper.feed(bytesOf(piece))) return refused;
        return std::string(dropper.text().begin(), dropper.text().end());
    };
    for (const auto& row : rows) {
        EXPECT_EQ(run({row.in}), row.out) << row.in;
        for (std::size_t at = 0; at <= row.in.size(); ++at)
            EXPECT_EQ(run({row.in.substr(0, at), row.in.substr(at)}), row.out) << row.in << " split at " << at;
        std::vector<std::string> bytes;
        for (const char c : row.in) bytes.emplace_back(1, c);
        EXPECT_EQ(run(bytes), row.out) << row.in << " byte by byte";
    }
}

} // namespace
} // namespace corvane
