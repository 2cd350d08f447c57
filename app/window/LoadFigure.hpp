#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {

// What the box's load figures read, alike in the main window's status card and in the overlay's card: one
// rule for a figure no box can have, which reads "-" wherever it shows.
//
// A processor or graphics load (in percent, as the agent reports it) reads as its whole percent (halves away
// from zero), above 100 too: a box under full load may report more. Anything else the box may send (not a
// number, infinite, below zero, too large to print) reads "-" over an empty bar: no view shows a load that
// cannot be, nor a full bar beside a "-".
namespace LoadFigure {

std::optional<long long> percent(double load);
// "42%", "137%", or "-".
std::string text(double load);
// The bar's share: the load over 100 where it reads as a figure (above 1 for a load above 100; the bar
// clamps it and its tint reads it whole), else 0.
double fill(double load);

// A temperature in whole degrees Celsius (halves away from zero) from -273 to 1000; none for anything else.
std::optional<long long> celsius(double temperature);
// Whether an amount in use (memory used, storage free) can be part of its total: never more than it.
bool withinTotal(std::uint64_t part, std::uint64_t total);

}  // namespace LoadFigure

}  // namespace corvane
