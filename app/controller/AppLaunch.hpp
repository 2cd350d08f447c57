#pragma once

#include "platform/login/LoginItem.hpp"

#include <string>
#include <vector>

namespace corvane {

// Whether this launch came from the login item. Set once by detect() before the first window; read by
// the start-up log line, the login-item question and the main window. Main thread only.
namespace AppLaunch {

inline bool atLogin = false;

// The login item's command carries "--at-login"; without it, a launch within 120 s of boot while the
// login item is enabled counts as one too (it cannot be told apart from one by hand).
bool launchedAtLogin(bool atLoginArgument, platform::LoginItem::Status status, double systemUptime);

// Reads the arguments, the login item and the time since boot, and sets atLogin.
void detect(const std::vector<std::string>& arguments);

// Seconds since boot, suspended time included.
double systemUptime();

} // namespace AppLaunch

} // namespace corvane
