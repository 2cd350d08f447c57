#pragma once

#include <optional>
#include <string>

namespace corvane {

// What one load figure of the box (its processor or graphics load in percent, as the agent reports it) reads
// in the overlay's card. A load reads as a whole percent when it rounds (halves away from zero) into 0...100;
// anything else the box may send (not a number, infinite, negative, above 100, absurdly large) reads "-".
// The main window's status card has its own rule: it shows loads above 100 too.
namespace LoadFigure {

std::optional<int> percent(double load);
// "42%", or "-".
std::string text(double load);
// The bar's fill, 0...1: the load's share of 100 where it reads as a figure, else 0.
double fill(double load);

}  // namespace LoadFigure

}  // namespace corvane
