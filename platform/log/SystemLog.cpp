#include "platform/log/SystemLog.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <syslog.h>

namespace corvane::platform::SystemLog {

void write(std::string_view category, std::string_view line) {
    static const bool toStderr = std::getenv("CORVANE_LOG_STDERR") != nullptr;
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("corvane", LOG_PID | LOG_NDELAY, LOG_USER); });
    std::string text(line);
    syslog(LOG_NOTICE, "%.*s: %s", static_cast<int>(category.size()), category.data(), text.c_str());
    if (toStderr)
        std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(category.size()), category.data(), text.c_str());
}

} // namespace corvane::platform::SystemLog
