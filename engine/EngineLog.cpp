#include "engine/EngineLog.hpp"

#include "platform/log/SystemLog.hpp"

#include <mutex>

namespace corvane::stream::EngineLog {
namespace {
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
    platform::SystemLog::write("engine", line);
    Sink copy = sink();
    if (copy) copy("[engine] " + std::string(line));
}

Sink sink() {
    std::lock_guard guard(lock());
    return currentSink();
}

void setSink(Sink sink) {
    std::lock_guard guard(lock());
    currentSink() = std::move(sink);
}

} // namespace corvane::stream::EngineLog
