#include "app/controller/AppLaunch.hpp"
#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(AppLaunchTest, LoginArgumentOrAnEnabledItemWithinTwoMinutesOfBoot) {
    using platform::LoginItem::Status;
    const struct { bool argument; Status status; double uptime; bool atLogin; } rows[] = {
        {true, Status::notRegistered, 5000, true},
        {false, Status::enabled, 30, true},
        {false, Status::enabled, 119.9, true},
        {false, Status::enabled, 120, false},
        {false, Status::notRegistered, 30, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(AppLaunch::launchedAtLogin(row.argument, row.status, row.uptime), row.atLogin) << row.uptime;
    EXPECT_GT(AppLaunch::systemUptime(), 0);
}

} // namespace
} // namespace corvane
