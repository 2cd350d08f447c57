#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace corvane::stream {

// The engine's one logging call. Every line goes to the system log and, once the application has installed
// one, to `sink` with the "[engine] " tag. Callable from any thread; the sink runs outside the lock, so a
// sink may log or replace itself.
namespace EngineLog {
using Sink = std::function<void(const std::string& line)>;

void write(std::string_view line);
Sink sink();
void setSink(Sink sink);
} // namespace EngineLog

namespace CorvaneStream {
inline constexpr std::string_view version = "0.3.0";
}

} // namespace corvane::stream
