#include "app/services/Clock.hpp"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace corvane {
namespace {

// Sleeps `passes` times, noting each wake-up as "name@seconds".
QCoro::Task<> sleeper(Clock& clock, double seconds, std::string name, std::vector<std::string>& woke, int passes = 1) {
    for (int i = 0; i < passes; ++i) {
        co_await clock.sleep(seconds);
        woke.push_back(name + "@" + std::to_string(static_cast<int>(clock.uptime() - 1000)));
    }
}

TEST(ManualClockTest, WakesSleepersInDeadlineOrderOnlyWhenDueAndIgnoresWallTimeJumps) {
    ManualClock clock;
    const auto wall = clock.wallTime();
    std::vector<std::string> woke;
    auto a = sleeper(clock, 20, "a", woke);
    auto b = sleeper(clock, 5, "b", woke);
    auto c = sleeper(clock, 1, "tick", woke, 3);
    auto now = sleeper(clock, 0, "now", woke);
    EXPECT_EQ(woke, std::vector<std::string>{"now@0"});
    EXPECT_EQ(clock.sleepers(), 3);
    clock.setWallTime(wall + std::chrono::hours(48));
    clock.setWallTime(wall - std::chrono::hours(48));
    EXPECT_EQ(woke.size(), 1u);
    clock.advance(19.999);
    EXPECT_EQ(woke, (std::vector<std::string>{"now@0", "tick@1", "tick@2", "tick@3", "b@5"}));
    clock.advance(0.001);
    EXPECT_EQ(woke.back(), "a@20");
    EXPECT_EQ(clock.sleepers(), 0);
    const std::chrono::duration<double> moved = clock.wallTime() - (wall - std::chrono::hours(48));
    EXPECT_NEAR(moved.count(), 20, 1e-6);
}

} // namespace
} // namespace corvane
