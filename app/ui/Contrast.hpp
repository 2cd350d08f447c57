#pragma once

#include <QColor>

#include <initializer_list>

namespace corvane {

// Colour arithmetic for readable views: the relative luminance and contrast ratio of the web's
// accessibility guidelines, and colours moved just far enough to reach a ratio.
namespace Contrast {

double luminance(const QColor& colour);
// From 1 (the same) to 21 (black on white).
double ratio(const QColor& a, const QColor& b);
// `top` drawn with its alpha over the opaque `below`.
QColor over(const QColor& top, const QColor& below);
// `colour` mixed toward black on light backdrops (white on dark ones) until it keeps `wanted` against each
// of `backdrops`; unchanged when it already does. The first backdrop decides the direction.
QColor atLeast(const QColor& colour, std::initializer_list<QColor> backdrops, double wanted);

} // namespace Contrast

} // namespace corvane
