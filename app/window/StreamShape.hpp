#pragma once

#include <array>
#include <optional>

#include <QSize>
#include <QSizeF>

#include "app/services/StreamSettings.hpp"

namespace corvane {

// The arithmetic of the stream window's shape: how big the window opens for a stream size, and which
// stream size a window shape asks the box for. Pure functions; window sizes in points, stream sizes in
// whole pixels.
namespace StreamShape {

using Pixels = StreamSettings::Pixels;

// The twelve screen shapes the box is offered (width / height), always in this order.
inline constexpr std::array<double, 12> readyAspects{9.0 / 16, 2.0 / 3, 3.0 / 4, 4.0 / 5, 1.0,    5.0 / 4,
                                                     4.0 / 3, 3.0 / 2, 8.0 / 5, 16.0 / 9, 2.0, 7.0 / 3};

// The window content for a stream: scaled to at most 85% of the visible area, never enlarged. Without a
// visible area the stream size itself stands in for it.
QSize contentSize(Pixels stream, std::optional<QSizeF> visible);

// The nearest ready aspect for a content shape (ties keep the earlier entry).
double nearestAspect(double width, double height);

// A size of `aspect` keeping `area` pixels, within 4096 on each side, both sides multiples of 8 (at least 64).
Pixels sizeForArea(double aspect, double area);

// The stream size for a window content of `width` x `height` points: the current size for contents of
// 50 points or less; the base size itself for 16:9 windows when the base is 16:9.
Pixels sizeMatching(double width, double height, Pixels current, int chosenArea, Pixels base);

// Whether a target lies within 16 pixels of the current size in both directions: no reshape is worth it.
bool closeEnough(Pixels target, Pixels current);

// The list offered to the box: one size per ready aspect for the area.
std::array<Pixels, 12> readySizes(int chosenArea);

// The stream size the settings ask for.
Pixels baseSize(StreamSettings::Size size);

}  // namespace StreamShape

}  // namespace corvane
