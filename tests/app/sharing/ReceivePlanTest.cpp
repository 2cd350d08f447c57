#include "app/sharing/ReceivePlan.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <fstream>
#include <set>

namespace corvane {
namespace {

// Each name of an item is looked at about once, however the names fall: 300,000 of them, and 40,000 too long
// for this computer that all shorten to one name, which the folder holds already. Planned against every
// name before (a search of the list, a count from 2 for each name), this item would take far longer than
// a test may run; as it is, about a second.
TEST(ReceivePlanScale, ManyNamesArePlannedWithAboutOneLookEach) {
    test::TempDir dir;
    constexpr int kNames = 300000, kShortened = 40000;
    const std::string tooLong(300, 'c');
    std::ofstream(dir.path() / std::string(255, 'c')) << "x";  // what the long names shorten to stands there
    AgentClient::OutboxItem item;
    for (int i = 0; i < kNames; ++i) item.files.push_back({"n" + std::to_string(1000000 + i), 1});
    for (int i = 0; i < kShortened; ++i) item.files.push_back({tooLong + std::to_string(i) + "/f", 1});

    const auto plan = ReceivePlan::make(item, dir.path());
    ASSERT_EQ(plan.topNames.size(), std::size_t(kNames + kShortened));
    EXPECT_EQ(plan.what, "340000 items");
    EXPECT_EQ(plan.topNames.back(), tooLong + "39999");
    EXPECT_EQ(plan.macNames.at("n1000000"), "n1000000");
    EXPECT_EQ(plan.macNames.at("n1299999"), "n1299999");
    // Numbered in the item's order from 2, each cut to fit its number.
    EXPECT_EQ(plan.macNames.at(tooLong + "0"), std::string(253, 'c') + " 2");
    EXPECT_EQ(plan.macNames.at(tooLong + "8"), std::string(252, 'c') + " 10");
    EXPECT_EQ(plan.macNames.at(tooLong + "39999"), std::string(249, 'c') + " 40001");
    std::set<std::string> distinct;
    for (const auto& [top, mac] : plan.macNames) distinct.insert(mac);
    EXPECT_EQ(distinct.size(), plan.topNames.size());
    EXPECT_TRUE(plan.leftOut(item).empty());
}

} // namespace
} // namespace corvane
