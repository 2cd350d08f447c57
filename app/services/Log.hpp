#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

// The application's one log: "Corvane.log" under the state folder (Folders::logs()), one
// "<UTC time with milliseconds> <message>" line per call (control characters escaped, so box text never
// forges a line; long messages cut), moved aside to "Corvane.1.log" once it passes
// 2,000,000 bytes. Backed by one LogWriter made on first use and kept for the whole run; lines still
// queued when the process exits are written first.
namespace Log {

// Returns at once from any thread; never fails toward the caller (see LogWriter for a full queue).
void write(std::string_view message);
// The last `count` lines joined with "\n", or "(no log yet)". Waits for queued lines.
std::string tail(int count);
// Returns once every line queued before it is in the file.
void flush();
// The log file. Its folder is created (failure ignored) when this is first asked.
std::filesystem::path url();
// From now on the settings file's warnings come here too, each at the time it was raised: those raised
// before (the settings are read before the log is made) first.
void takeSettingsWarnings();

} // namespace Log

} // namespace corvane
