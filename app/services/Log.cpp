#include "app/services/Log.hpp"

#include "app/services/Folders.hpp"
#include "app/services/LogWriter.hpp"
#include "platform/defaults/UserDefaults.hpp"

#include <cstdlib>
#include <system_error>

namespace corvane::Log {
namespace {

// Never destroyed: threads that log during exit must not meet a writer already gone. The exit hook
// writes out what is queued instead.
LogWriter& shared() {
    static LogWriter* writer = [] {
        auto* made = new LogWriter(url());
        std::atexit([] { shared().flush(); });
        return made;
    }();
    return *writer;
}

} // namespace

std::filesystem::path url() {
    static const std::filesystem::path file = [] {
        const auto folder = Folders::logs();
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
        return folder / "Corvane.log";
    }();
    return file;
}

void write(std::string_view message) { shared().write(message); }

std::string tail(int count) { return shared().tail(count); }

void flush() { shared().flush(); }

void takeSettingsWarnings() {
    LogWriter& log = shared();
    platform::UserDefaults::setWarningSink(
        [&log](const platform::UserDefaults::Warning& warning) { log.write(warning.line, warning.at); });
}

} // namespace corvane::Log
