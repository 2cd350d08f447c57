#pragma once

#include <QColor>

namespace corvane {

// The named colours the views draw symbols, badges and bars in. Accent is the palette's highlight, so it
// follows the desktop's theme; secondary is the palette's dimmed text, text its window text. Each is read from the palette in
// force when called, and reaches 3:1 against the window.
enum class Tint { accent, orange, red, green, secondary, text };

QColor tintColor(Tint tint);

} // namespace corvane
