#include "engine/EngineLog.hpp"

#include "engine/Text.hpp"
#include "platform/log/SystemLog.hpp"

#include <mutex>

namespace corvane::stream::EngineLog {
namespace {
// Longer lines are cut: a line may quote what the box sent, and one reply must not flood the log.
constexpr std::size_t kMaxLine = 8192;

std::mutex& lock() {
    static std::mutex mutex;
    return mutex;
}
Sink& currentSink() {
    static Sink sink;
    return sink;
}
} // namespace

void write(std::string_view line) {
    // Control characters are escaped here as well as where box text is quoted, so no caller can forge a line.
    const std::string safe = text::forLog(line, kMaxLine);
    platform::SystemLog::write("engine", safe);
    Sink copy = sink();
    if (copy) copy("[engine] " + safe);
}

Sink sink() {
    std::lock_guard guard(lock());
    return currentSink();
}

void setSink(Sink sink) {
    {
        std::lock_guard guard(lock());
        std::swap(currentSink(), sink);
    }
    // The old sink is destroyed here, outside the lock: what it captured may log as it goes.
}

} // namespace corvane::stream::EngineLog
