#pragma once

#include <QColor>

namespace corvane {

// The named colours the views draw symbols, badges and bars in. Accent is the palette's highlight, so it
// follows the desktop's theme; secondary is the palette's dimmed text.
enum class Tint { accent, orange, red, green, secondary };

QColor tintColor(Tint tint);

} // namespace corvane
