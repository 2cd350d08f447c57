#include "app/sharing/ReceivePlan.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <algorithm>
#include <ctime>
#include <fstream>
#include <limits>
#include <set>

namespace corvane {
namespace {

const std::string kTooLong(300, 'c');

// `names` short names, then `shortened` too long for this computer that all shorten to one name.
AgentClient::OutboxItem manyNames(int names, int shortened) {
    AgentClient::OutboxItem item;
    for (int i = 0; i < names; ++i) item.files.push_back({"n" + std::to_string(1000000 + i), 1});
    for (int i = 0; i < shortened; ++i) item.files.push_back({kTooLong + std::to_string(i) + "/f", 1});
    return item;
}

// This thread's own processor time: what other processes take of the computer does not count in it.
double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Each name of an item is looked at about once, however the names fall: 20,000 of them and 2,000 that all
// shorten to one name, which the folder holds already, are planned in about four times the time of a
// quarter as many. Planned against every name before (a search of the list, a count from 2 for each name),
// that would be sixteen times, and this case fails within seconds. The least time of a few turns of each,
// taken in turn, so that a moment of a busy computer decides nothing.
TEST(ReceivePlanScale, ManyNamesArePlannedWithAboutOneLookEach) {
    test::TempDir dir;
    constexpr int kNames = 20000, kShortened = 2000;
    constexpr double kMostRatio = 8;  // four, with room for a slower large run; quadratic is sixteen
    std::ofstream(dir.path() / std::string(255, 'c')) << "x";  // what the long names shorten to stands there
    const AgentClient::OutboxItem quarter = manyNames(kNames / 4, kShortened / 4), item = manyNames(kNames, kShortened);

    ReceivePlan plan;
    const auto timed = [&](const AgentClient::OutboxItem& what) {
        const double start = threadSeconds();
        plan = ReceivePlan::make(what, dir.path());
        return threadSeconds() - start;
    };
    double small = std::numeric_limits<double>::infinity(), large = small;
    for (int turn = 0; turn < 3 && !(large < kMostRatio * small); ++turn) {
        small = std::min(small, timed(quarter));
        large = std::min(large, timed(item));
    }
    EXPECT_LT(large, kMostRatio * small) << "planning " << kNames + kShortened << " names took " << large
                                         << " s, a quarter as many " << small << " s";

    ASSERT_EQ(plan.topNames.size(), std::size_t(kNames + kShortened));
    EXPECT_EQ(plan.what, "22000 items");
    EXPECT_EQ(plan.topNames.back(), kTooLong + "1999");
    EXPECT_EQ(plan.macNames.at("n1000000"), "n1000000");
    EXPECT_EQ(plan.macNames.at("n1019999"), "n1019999");
    // Numbered in the item's order from 2, each cut to fit its number.
    EXPECT_EQ(plan.macNames.at(kTooLong + "0"), std::string(253, 'c') + " 2");
    EXPECT_EQ(plan.macNames.at(kTooLong + "8"), std::string(252, 'c') + " 10");
    EXPECT_EQ(plan.macNames.at(kTooLong + "1999"), std::string(250, 'c') + " 2001");
    std::set<std::string> distinct;
    for (const auto& [top, mac] : plan.macNames) distinct.insert(mac);
    EXPECT_EQ(distinct.size(), plan.topNames.size());
    EXPECT_TRUE(plan.leftOut(item).empty());
}

} // namespace
} // namespace corvane
