#pragma once

#include <string>

#include <QPointF>
#include <QSizeF>

class QPainter;

namespace corvane {

class StatsOverlay;

// The overlay's headline row: the frame-rate dot, "58 FPS", a faint "|" and the latency, 8 apart, in the
// 13-pixel semibold font, white. Drawn from the model each time; keeps nothing.
namespace StatsHeadline {

std::string fpsText(const StatsOverlay& model);
std::string latencyText(const StatsOverlay& model);
QSizeF size(const StatsOverlay& model);
// The row's height, whatever it shows (no text is measured).
double height();
// Draws the row with its top left at `origin`.
void paint(QPainter& painter, QPointF origin, const StatsOverlay& model);
// Where the dot's centre falls, relative to the row's top left.
QPointF dotCentre(const StatsOverlay& model);

}  // namespace StatsHeadline

}  // namespace corvane
