#include "app/services/agent/TopLevelNumberScanner.hpp"
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace corvane {
namespace {

TEST(TopLevelNumberScannerTest, FindsTheTopLevelNumberWhereverItStands) {
    const struct { std::string body; std::optional<std::uint64_t> seq; } rows[] = {
        {R"({"seq":7,"type":"text","text":"xxx"})", 7},
        {R"( { "type" : "text", "text" : "a \"seq\":9 \\", "seq" : 4294967295 } )", 4294967295u},
        {R"({"png":"iVBOR","nested":{"seq":3,"list":[{"seq":2}]},"seq":41})", 41},
        {R"({"seq":1,"seq":2})", 2},
        {R"({"nested":{"seq":3}})", std::nullopt},
        {R"([{"seq":1}])", std::nullopt},
        {R"({"seq":-1})", std::nullopt},
        {R"({"seq":1.5})", std::nullopt},
        {R"({"seq":1e3})", std::nullopt},
        {R"({"seq":"5"})", std::nullopt},
        {R"({"s\u0065q":5})", std::nullopt},
        {R"({"seqs":5,"se":6})", std::nullopt},
        {R"({"seq":12345678901234567890})", std::nullopt},
        {R"({"seq":8)", std::nullopt},  // not ended
    };
    for (const auto& row : rows) {
        TopLevelNumberScanner whole("seq"), byByte("seq");
        whole.feed(bytesOf(row.body));
        for (const char c : row.body) byByte.feed(bytesOf(std::string(1, c)));
        EXPECT_EQ(whole.number(), row.seq) << row.body;
        EXPECT_EQ(byByte.number(), row.seq) << row.body;
    }
}

} // namespace
} // namespace corvane
