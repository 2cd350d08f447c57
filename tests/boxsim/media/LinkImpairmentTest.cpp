#include "boxsim/media/LinkImpairment.hpp"

#include <gtest/gtest.h>

namespace corvane::boxsim {
namespace {

using Clock = LinkImpairment::Clock;
using std::chrono::milliseconds;

std::vector<int> numbers(const std::vector<Bytes>& datagrams) {
    std::vector<int> out;
    for (const Bytes& d : datagrams) out.push_back(d.at(0));
    return out;
}

// Submits 1..n at `now` and returns what is due then.
std::vector<int> pass(LinkImpairment& link, int n, Clock::time_point now) {
    for (int i = 1; i <= n; ++i) link.submit(Bytes{static_cast<std::uint8_t>(i)}, now);
    return numbers(link.takeDue(now));
}

TEST(LinkImpairment, LossDuplicationReorderingAndDelay) {
    const Clock::time_point t0 = Clock::now();
    LinkImpairment clean({});
    EXPECT_EQ(pass(clean, 3, t0), (std::vector<int>{1, 2, 3}));
    LinkImpairment lossy({.lossPercent = 100});
    EXPECT_TRUE(pass(lossy, 4, t0).empty());
    EXPECT_EQ(lossy.stats().dropped, 4);
    LinkImpairment doubled({.duplicatePercent = 100});
    EXPECT_EQ(pass(doubled, 2, t0), (std::vector<int>{1, 1, 2, 2}));
    // Each held datagram goes out right after the next one; one with nothing behind it after the longest hold.
    LinkImpairment swapped({.reorderPercent = 100});
    EXPECT_EQ(pass(swapped, 4, t0), (std::vector<int>{2, 1, 4, 3}));
    swapped.submit(Bytes{9}, t0);
    EXPECT_TRUE(swapped.takeDue(t0 + milliseconds(49)).empty());
    EXPECT_EQ(numbers(swapped.takeDue(t0 + milliseconds(50))), std::vector<int>{9});

    LinkImpairment delayed({.delayMs = 20});
    delayed.submit(Bytes{1}, t0);
    delayed.submit(Bytes{2}, t0 + milliseconds(5));
    EXPECT_TRUE(delayed.takeDue(t0 + milliseconds(19)).empty());
    EXPECT_EQ(numbers(delayed.takeDue(t0 + milliseconds(20))), std::vector<int>{1});
    EXPECT_EQ(delayed.nextDue(), t0 + milliseconds(25));
}

TEST(LinkImpairment, PartialLossFollowsItsSeedAndWaitingIsBounded) {
    const Clock::time_point t0 = Clock::now();
    LinkImpairment a({.lossPercent = 20, .seed = 7});
    LinkImpairment b({.lossPercent = 20, .seed = 7});
    for (int i = 0; i < 10000; ++i) {
        a.submit(Bytes{static_cast<std::uint8_t>(i)}, t0);
        b.submit(Bytes{static_cast<std::uint8_t>(i)}, t0);
    }
    EXPECT_NEAR(a.stats().dropped, 2000, 200);
    EXPECT_EQ(numbers(a.takeDue(t0)), numbers(b.takeDue(t0)));

    LinkImpairment link({.delayMs = 1000});
    for (std::size_t i = 0; i < LinkImpairment::maxWaiting + 10; ++i) link.submit(Bytes{}, t0);
    EXPECT_EQ(link.stats().overflowed, 10);
    EXPECT_EQ(link.takeDue(t0 + milliseconds(1000)).size(), LinkImpairment::maxWaiting);
}

} // namespace
} // namespace corvane::boxsim
