#include "engine/EngineLog.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace corvane::stream {
namespace {

// Set when a replacement hung: the log's lock is then held for good, so nothing may touch it again.
bool logHung = false;

class EngineLogTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (!logHung) EngineLog::setSink(nullptr);
    }
};

TEST_F(EngineLogTest, TagsLinesEscapesControlCharactersAndStopsWhenRemoved) {
    std::vector<std::string> lines;
    EngineLog::setSink([&](const std::string& line) { lines.push_back(line); });
    EngineLog::write("pair: step 1");
    EngineLog::write("");
    EngineLog::write("session: cancel ok (1\nsession: forged)");
    EngineLog::write(std::string(10000, 'x'));
    EngineLog::setSink(nullptr);
    EngineLog::write("after");
    EXPECT_EQ(lines, (std::vector<std::string>{"[engine] pair: step 1", "[engine] ",
                                               "[engine] session: cancel ok (1\\nsession: forged)",
                                               "[engine] " + std::string(8192, 'x') + "..."}));
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

// What a sink captured may log as it is destroyed: the old sink goes after the lock is released.
TEST_F(EngineLogTest, ReplacingASinkWhoseStateLogsOnDestructionDoesNotHang) {
    struct LogsWhenGone {
        ~LogsWhenGone() { EngineLog::write("sink state gone"); }
    };
    std::vector<std::string> lines;
    auto state = std::make_shared<LogsWhenGone>();
    EngineLog::setSink([state, &lines](const std::string& line) { lines.push_back(line); });
    state.reset();
    // Replaced on a thread of its own, so that a hang fails the test instead of stopping the program.
    std::promise<void> done;
    std::thread([&done, &lines] {
        EngineLog::setSink([&lines](const std::string& line) { lines.push_back("new " + line); });
        done.set_value();
    }).detach();
    if (done.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        logHung = true;
        FAIL() << "setSink hung destroying the old sink";
    }
    EXPECT_EQ(lines, std::vector<std::string>{"new [engine] sink state gone"});
}

} // namespace
} // namespace corvane::stream
