#include "app/window/StreamShape.hpp"

#include <algorithm>
#include <cmath>

namespace corvane::StreamShape {

QSize contentSize(Pixels stream, std::optional<QSizeF> visible) {
    const double width = std::max(stream.width, 1);
    const double height = std::max(stream.height, 1);
    const QSizeF area = visible.value_or(QSizeF(width, height));
    const double scale = std::min({1.0, 0.85 * area.width() / width, 0.85 * area.height() / height});
    return QSize(static_cast<int>(std::round(width * scale)), static_cast<int>(std::round(height * scale)));
}

double nearestAspect(double width, double height) {
    const double ratio = width / height;
    double best = readyAspects[0];
    for (std::size_t i = 1; i < readyAspects.size(); ++i)
        if (std::abs(std::log(readyAspects[i] / ratio)) < std::abs(std::log(best / ratio))) best = readyAspects[i];
    return best;
}

Pixels sizeForArea(double aspect, double area) {
    double y = std::sqrt(area / aspect);
    double x = aspect * y;
    if (x > 4096) {
        x = 4096;
        y = 4096 / aspect;
        if (y > 4096) {
            y = 4096;
            x = aspect * 4096;
        }
    } else if (y > 4096) {
        y = 4096;
        x = aspect * 4096;
    }
    return Pixels{std::max(8 * static_cast<int>(std::round(x / 8)), 64),
                  std::max(8 * static_cast<int>(std::round(y / 8)), 64)};
}

Pixels sizeMatching(double width, double height, Pixels current, int chosenArea, Pixels base) {
    if (!(width > 50 && height > 50)) return current;
    const double aspect = nearestAspect(width, height);
    if (std::abs(aspect - 16.0 / 9) < 0.001 && base.height > 0 &&
        std::abs(double(base.width) / base.height - 16.0 / 9) < 0.02)
        return base;
    return sizeForArea(aspect, chosenArea);
}

std::array<Pixels, 12> readySizes(int chosenArea) {
    std::array<Pixels, 12> sizes;
    for (std::size_t i = 0; i < readyAspects.size(); ++i) sizes[i] = sizeForArea(readyAspects[i], chosenArea);
    return sizes;
}

Pixels baseSize(StreamSettings::Size size) {
    switch (size) {
    case StreamSettings::Size::hd: return {1920, 1080};
    case StreamSettings::Size::qhd: return {2560, 1440};
    case StreamSettings::Size::matchScreen: return StreamSettings::screenSize(false);
    case StreamSettings::Size::matchScreenSharp: return StreamSettings::screenSize(true);
    }
    return {1920, 1080};
}

bool closeEnough(Pixels target, Pixels current) {
    return std::abs(target.width - current.width) <= 16 && std::abs(target.height - current.height) <= 16;
}

}  // namespace corvane::StreamShape
