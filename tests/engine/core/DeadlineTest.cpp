#include "engine/Deadline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

TEST(Deadline, ReturnsTheBodysValueOrItsOwnError) {
    EXPECT_EQ(withDeadline(30.0, "HTTP /x", [](std::stop_token) { return 42; }), 42);
    EXPECT_THROW(withDeadline(30.0, "HTTP /x", [](std::stop_token) -> int { throw std::runtime_error("own"); }),
                 std::runtime_error);
}

TEST(Deadline, StopsACooperativeBodyAndNamesTheWork) {
    std::atomic<bool> sawStop{false};
    try {
        withDeadline(0.05, "HTTPS /applist", [&](std::stop_token stop) {
            while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
            sawStop = true;
        });
        FAIL() << "no DeadlineExceeded";
    } catch (const DeadlineExceeded& e) {
        EXPECT_EQ(e.work, "HTTPS /applist");
        EXPECT_EQ(e.seconds, 0.05);
        EXPECT_STREQ(e.what(), "HTTPS /applist did not finish within 0 s");
    }
    EXPECT_TRUE(sawStop);
}

TEST(Deadline, WaitsForABodyThatIgnoresTheStop) {
    std::atomic<bool> bodyEnded{false};
    EXPECT_THROW(withDeadline(0.01, "HTTP /slow",
                              [&](std::stop_token) {
                                  std::this_thread::sleep_for(200ms);
                                  bodyEnded = true;
                              }),
                 DeadlineExceeded);
    // The error arrives only once the body has really returned.
    EXPECT_TRUE(bodyEnded);
}

TEST(Deadline, DescriptionTruncatesTheSeconds) {
    EXPECT_STREQ(DeadlineExceeded("HTTP /a", 7.9).what(), "HTTP /a did not finish within 7 s");
    EXPECT_STREQ(DeadlineExceeded("HTTP /a", 32.0).what(), "HTTP /a did not finish within 32 s");
}

TEST(Deadline, RefusesLimitsThatAreNotAnAmountOfTime) {
    auto body = [](std::stop_token) { return 1; };
    EXPECT_THROW(withDeadline(-1.0, "x", body), std::invalid_argument);
    EXPECT_THROW(withDeadline(std::nan(""), "x", body), std::invalid_argument);
    // An endless or uncountably long limit simply never passes.
    EXPECT_EQ(withDeadline(std::numeric_limits<double>::infinity(), "x", body), 1);
    EXPECT_EQ(withDeadline(1e300, "x", body), 1);
}

TEST(Deadline, ACallerStopReachesTheBody) {
    std::stop_source caller;
    std::thread stopper([&] {
        std::this_thread::sleep_for(20ms);
        caller.request_stop();
    });
    EXPECT_THROW(withDeadline(
                     30.0, "x",
                     [](std::stop_token stop) -> int {
                         while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
                         throw std::runtime_error("cancelled");
                     },
                     caller.get_token()),
                 std::runtime_error);
    stopper.join();
}

} // namespace
} // namespace corvane::stream
