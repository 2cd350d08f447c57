#include "app/window/OverlayStyle.hpp"

#include <algorithm>
#include <cstdio>

#include <QFontDatabase>

namespace corvane::OverlayStyle {

QColor fpsColor(std::optional<int> fps, int target) {
    if (!fps) return QColor(255, 255, 255, 128);
    const double t = std::max(target, 1);
    if (*fps >= 0.9 * t) return QColor(52, 199, 89);
    if (*fps >= 0.5 * t) return QColor(255, 204, 0);
    return QColor(255, 149, 0);
}

std::string latencyText(double ms) {
    char text[64];
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f ms" : "%.0f ms", ms);
    return text;
}

QFont font(double pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(static_cast<int>(pixelSize + 0.5));
    font.setWeight(weight);
    return font;
}

}  // namespace corvane::OverlayStyle
