#pragma once

#include <chrono>

namespace corvane::stream {

// Seconds on the system's uptime clock: the one clock that packet arrival, decoding and display share.
inline double uptimeSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace corvane::stream
