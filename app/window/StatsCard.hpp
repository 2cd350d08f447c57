#pragma once

#include <optional>
#include <string>

#include <QRectF>
#include <QSizeF>

class QPainter;

namespace corvane {

class StatsOverlay;

// The overlay's detailed card, 260 wide or as wide as its widest row: the headline, the frame-rate graph, a
// divider, the rows "Frame rate", "Latency", "Video" (and "Box" with a box status), and the still-screen hint
// when the rate is low. Drawn from the model each time over the card's rounded rectangle (the panel's);
// keeps nothing.
namespace StatsCard {

inline constexpr double width = 260;
inline constexpr double padding = 12;
inline constexpr double graphHeight = 30;
inline constexpr double cornerRadius = 12;

std::string frameRate(const StatsOverlay& model);
std::string latency(const StatsOverlay& model);
std::string video(const StatsOverlay& model);
std::optional<std::string> box(const StatsOverlay& model);
bool stillScreenHint(const StatsOverlay& model);

QSizeF size(const StatsOverlay& model);
// The graph's rectangle inside the card.
QRectF graphRect(const StatsOverlay& model);
void paint(QPainter& painter, const StatsOverlay& model);

}  // namespace StatsCard

}  // namespace corvane
