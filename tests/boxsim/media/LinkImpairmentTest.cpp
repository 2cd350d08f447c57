#include "boxsim/media/LinkImpairment.hpp"
#include <gtest/gtest.h>

namespace corvane::boxsim {
namespace {

using std::chrono::milliseconds;

std::vector<int> numbers(const std::vector<Bytes>& datagrams) {
    std::vector<int> out;
    for (const Bytes& d : datagrams) out.push_back(d.empty() ? -1 : d[0]);
    return out;
}

// The link's faults are what the engine's loss tests rely on: each does what it says, at the time it says.
TEST(LinkImpairment, LossDuplicationReorderingDelayAndItsBound) {
    const auto t0 = LinkImpairment::Clock::now();
    const auto pass = [&](LinkImpairment::Options options, int n) {
        LinkImpairment link(options);
        for (int i = 1; i <= n; ++i) link.submit(Bytes{static_cast<std::uint8_t>(i)}, t0);
        return numbers(link.takeDue(t0));
    };
    EXPECT_EQ(pass({}, 3), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(pass({.lossPercent = 100}, 4), std::vector<int>{});
    EXPECT_EQ(pass({.duplicatePercent = 100}, 2), (std::vector<int>{1, 1, 2, 2}));
    EXPECT_EQ(pass({.reorderPercent = 100}, 4), (std::vector<int>{2, 1, 4, 3}));
    LinkImpairment a({.lossPercent = 20, .seed = 7}), b({.lossPercent = 20, .seed = 7});
    for (int i = 0; i < 10000; ++i) {
        a.submit(Bytes{static_cast<std::uint8_t>(i)}, t0);
        b.submit(Bytes{static_cast<std::uint8_t>(i)}, t0);
    }
    EXPECT_NEAR(a.stats().dropped, 2000, 200);
    EXPECT_EQ(numbers(a.takeDue(t0)), numbers(b.takeDue(t0)));
    // A held datagram with nothing behind it goes after the longest hold; delay holds each for its time.
    LinkImpairment swapped({.reorderPercent = 100});
    swapped.submit(Bytes{9}, t0);
    EXPECT_TRUE(swapped.takeDue(t0 + milliseconds(49)).empty());
    EXPECT_EQ(numbers(swapped.takeDue(t0 + milliseconds(50))), std::vector<int>{9});
    LinkImpairment delayed({.delayMs = 20});
    delayed.submit(Bytes{1}, t0);
    delayed.submit(Bytes{2}, t0 + milliseconds(5));
    EXPECT_TRUE(delayed.takeDue(t0 + milliseconds(19)).empty());
    EXPECT_EQ(numbers(delayed.takeDue(t0 + milliseconds(20))), std::vector<int>{1});
    EXPECT_EQ(delayed.nextDue(), t0 + milliseconds(25));
    for (std::size_t i = 0; i < LinkImpairment::maxWaiting + 10; ++i) delayed.submit(Bytes{}, t0);
    EXPECT_EQ(delayed.stats().overflowed, 11);
}

} // namespace
} // namespace corvane::boxsim
