#pragma once

#include <QString>

#include <chrono>

namespace corvane {

// A wall-clock time as the user's locale writes a short time of day, without the date.
QString shortTime(std::chrono::system_clock::time_point time);

} // namespace corvane
