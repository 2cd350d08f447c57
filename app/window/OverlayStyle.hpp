#pragma once

#include <optional>
#include <string>

#include <QColor>
#include <QFont>

namespace corvane {

// What the overlay's views share: their colours, the frame-rate colour rule, the latency format and fonts.
namespace OverlayStyle {

// Black at 0.8: dark enough that the muted text and the frame-rate dot stay readable over a white picture.
inline const QColor background(0, 0, 0, 204);
inline const QColor border(255, 255, 255, 31);   // white at 0.12
inline const QColor muted(255, 255, 255, 153);   // white at 0.6
// What a panel over the picture fills itself with: as a window of its own it lets nothing of the picture
// show through, so it takes the translucent background as it looks over a dark picture.
inline const QColor panel(28, 28, 30);

// Green from 90 % of the target, yellow from half of it, orange below; no figure: half-transparent white.
QColor fpsColor(std::optional<int> fps, int target);

// "%.1f ms" below 10 ms, "%.0f ms" from 10 ms on.
std::string latencyText(double ms);

// The system font at a pixel size and weight, made once per size and weight (a font made afresh costs its
// metrics lookup every time).
const QFont& font(int pixelSize, QFont::Weight weight);

}  // namespace OverlayStyle

}  // namespace corvane
