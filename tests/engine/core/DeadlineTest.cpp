#include "engine/Deadline.hpp"
#include <gtest/gtest.h>
#include "tests/support/TestSupport.hpp"
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

int untilStopped(std::stop_token stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
    throw std::runtime_error("cancelled");
}

TEST(Deadline, ReturnsTheBodysValueOrItsOwnErrorOrStopsItAtTheLimitOnceItHasReturned) {
    const auto one = [](std::stop_token) { return 1; };
    EXPECT_EQ(withDeadline(30.0, "HTTP /x", one), 1);
    EXPECT_THROW(withDeadline(30.0, "HTTP /x", [](std::stop_token) -> int { throw std::runtime_error("own"); }),
                 std::runtime_error);
    EXPECT_THROW(withDeadline(-1.0, "x", one), std::invalid_argument);
    EXPECT_THROW(withDeadline(std::nan(""), "x", one), std::invalid_argument);
    // An endless or uncountably long limit simply never passes.
    EXPECT_EQ(withDeadline(std::numeric_limits<double>::infinity(), "x", one), 1);
    EXPECT_EQ(withDeadline(1e300, "x", one), 1);
    // A caller's stop reaches the body too.
    std::stop_source caller;
    caller.request_stop();
    EXPECT_THROW(withDeadline(30.0, "x", untilStopped, caller.get_token()), std::runtime_error);
    // A cooperative body is stopped at the limit; the error names the work with whole seconds.
    EXPECT_EQ(test::failureOf<DeadlineExceeded>([] { withDeadline(0.05, "HTTPS /applist", untilStopped); }),
              "HTTPS /applist did not finish within 0 s");
    EXPECT_STREQ(DeadlineExceeded("HTTP /a", 7.9).what(), "HTTP /a did not finish within 7 s");
    // The error keeps the work's name and its limit as given, not the whole seconds of its text.
    const auto exceeded = test::errorOf<DeadlineExceeded>([] { withDeadline(0.05, "HTTPS /applist", untilStopped); });
    ASSERT_TRUE(exceeded.has_value());
    EXPECT_EQ(exceeded->work, "HTTPS /applist");
    EXPECT_EQ(exceeded->seconds, 0.05);
    // A body that ignores the stop is waited for: the error comes once it has really returned.
    std::atomic<bool> bodyEnded{false};
    const auto slow = [&](std::stop_token) {
        std::this_thread::sleep_for(200ms);
        bodyEnded = true;
    };
    EXPECT_THROW(withDeadline(0.01, "HTTP /slow", slow), DeadlineExceeded);
    EXPECT_TRUE(bodyEnded);
}

} // namespace
} // namespace corvane::stream
