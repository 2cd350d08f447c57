#pragma once

#include <string_view>

namespace corvane::platform {

// The system's own log (syslog, so journald on most desktops). Also copies every line to standard error
// when CORVANE_LOG_STDERR is set, which the simulated box and manual runs use. Callable from any thread.
namespace SystemLog {
void write(std::string_view category, std::string_view line);
}

} // namespace corvane::platform
