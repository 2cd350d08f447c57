#pragma once

#include <optional>
#include <string>

namespace corvane {

// What one load figure of the box (its processor or graphics load in percent, as the agent reports it) reads
// and what bar it fills, alike in the main window's status card and in the overlay's card. A load reads as a
// whole percent when it rounds (halves away from zero) into 0...100; anything else the box may send (not a
// number, infinite, negative, above 100, absurdly large) reads "-" over an empty bar: no view shows a load
// that cannot be, nor a full bar beside a "-".
namespace LoadFigure {

std::optional<int> percent(double load);
// "42%", or "-".
std::string text(double load);
// The bar's fill, 0...1: the load's share of 100 where it reads as a figure, else 0.
double fill(double load);

}  // namespace LoadFigure

}  // namespace corvane
