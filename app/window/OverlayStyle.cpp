#include "app/window/OverlayStyle.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

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

const QFont& font(int pixelSize, QFont::Weight weight) {
    // Main thread only. Never destroyed: a font torn down after the application at exit may crash.
    static auto* fonts = new std::map<std::pair<int, int>, QFont>;
    auto [entry, made] = fonts->try_emplace({pixelSize, int(weight)});
    if (made) {
        entry->second = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        entry->second.setPixelSize(pixelSize);
        entry->second.setWeight(weight);
    }
    return entry->second;
}

}  // namespace corvane::OverlayStyle
