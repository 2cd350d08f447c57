#include "app/services/Clock.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <string>
#include <vector>

namespace corvane {
namespace {

QCoro::Task<> sleeper(Clock& clock, double seconds, std::string name, std::vector<std::string>& woke) {
    co_await clock.sleep(seconds);
    woke.push_back(name + "@" + std::to_string(static_cast<int>(clock.uptime() - 1000)));
}

QCoro::Task<> loop(Clock& clock, int passes, std::vector<std::string>& woke) {
    for (int i = 0; i < passes; ++i) {
        co_await clock.sleep(1);
        woke.push_back("tick@" + std::to_string(static_cast<int>(clock.uptime() - 1000)));
    }
}

TEST(ManualClockTest, WakesSleepersInDeadlineOrderAtTheirOwnTimeAndOnlyWhenDue) {
    ManualClock clock;
    std::vector<std::string> woke;
    auto a = sleeper(clock, 20, "a", woke);
    auto b = sleeper(clock, 5, "b", woke);
    auto c = loop(clock, 3, woke);
    auto now = sleeper(clock, 0, "now", woke);
    EXPECT_EQ(woke, std::vector<std::string>{"now@0"});
    EXPECT_EQ(clock.sleepers(), 3);

    clock.advance(19.999);
    EXPECT_EQ(woke, (std::vector<std::string>{"now@0", "tick@1", "tick@2", "tick@3", "b@5"}));
    clock.advance(0.001);
    EXPECT_EQ(woke.back(), "a@20");
    EXPECT_EQ(clock.sleepers(), 0);
}

TEST(ManualClockTest, WallTimeMovesWithUptimeButSettingItLeavesSleepsAlone) {
    ManualClock clock;
    const auto wall = clock.wallTime();
    std::vector<std::string> woke;
    auto a = sleeper(clock, 10, "a", woke);
    clock.setWallTime(wall + std::chrono::hours(48));
    clock.setWallTime(wall - std::chrono::hours(48));
    EXPECT_TRUE(woke.empty());
    clock.advance(10);
    EXPECT_EQ(woke, std::vector<std::string>{"a@10"});
    EXPECT_EQ(clock.wallTime() - (wall - std::chrono::hours(48)), std::chrono::seconds(10));
}

TEST(SystemClockTest, SleepResumesOnTheEventLoop) {
    int argc = 0;
    QCoreApplication app(argc, nullptr);
    Clock& clock = Clock::system();
    const double before = clock.uptime();
    std::vector<std::string> woke;
    auto task = sleeper(clock, 0.02, "quit", woke);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] {});
    while (woke.empty()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    EXPECT_EQ(woke.size(), 1u);
    EXPECT_GE(clock.uptime() - before, 0.019);
}

} // namespace
} // namespace corvane
