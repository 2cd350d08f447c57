#include "engine/EngineLog.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::stream {
namespace {

class EngineLogTest : public ::testing::Test {
protected:
    void TearDown() override { EngineLog::setSink(nullptr); }
};

TEST_F(EngineLogTest, TagsLinesForTheSinkAndStopsWhenRemoved) {
    std::vector<std::string> lines;
    EngineLog::setSink([&](const std::string& line) { lines.push_back(line); });
    EngineLog::write("pair: step 1");
    EngineLog::write("");
    EngineLog::setSink(nullptr);
    EngineLog::write("after");
    EXPECT_EQ(lines, (std::vector<std::string>{"[engine] pair: step 1", "[engine] "}));
}

TEST_F(EngineLogTest, ASinkMayLogAndReplaceItselfWithoutDeadlock) {
    std::vector<std::string> lines;
    EngineLog::setSink([&](const std::string& line) {
        lines.push_back(line);
        EngineLog::setSink([&](const std::string& inner) { lines.push_back("second " + inner); });
        EngineLog::write("nested");
    });
    EngineLog::write("first");
    EXPECT_EQ(lines, (std::vector<std::string>{"[engine] first", "second [engine] nested"}));
}

} // namespace
} // namespace corvane::stream
