#include "app/controller/AppLaunch.hpp"

#include <algorithm>
#include <ctime>

namespace corvane::AppLaunch {

bool launchedAtLogin(bool atLoginArgument, platform::LoginItem::Status status, double uptime) {
    if (atLoginArgument) return true;
    return status == platform::LoginItem::Status::enabled && uptime < 120.0;
}

double systemUptime() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void detect(const std::vector<std::string>& arguments) {
    const bool flag = std::find(arguments.begin(), arguments.end(), "--at-login") != arguments.end();
    atLogin = launchedAtLogin(flag, platform::LoginItem::status(), systemUptime());
}

} // namespace corvane::AppLaunch
