#include "app/ui/Contrast.hpp"

#include <algorithm>
#include <cmath>

namespace corvane::Contrast {
namespace {

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

} // namespace

double luminance(const QColor& colour) {
    const QColor c = colour.toRgb();
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double ratio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor over(const QColor& top, const QColor& below) {
    const double a = top.alphaF();
    const auto mix = [a](double t, double b) { return t * a + b * (1 - a); };
    return QColor::fromRgbF(static_cast<float>(mix(top.redF(), below.redF())),
                            static_cast<float>(mix(top.greenF(), below.greenF())),
                            static_cast<float>(mix(top.blueF(), below.blueF())));
}

QColor atLeast(const QColor& colour, std::initializer_list<QColor> backdrops, double wanted) {
    if (backdrops.size() == 0) return colour;
    const QColor target = luminance(*backdrops.begin()) > 0.18 ? QColor(Qt::black) : QColor(Qt::white);
    const auto enough = [&](const QColor& c) {
        return std::all_of(backdrops.begin(), backdrops.end(), [&](const QColor& b) { return ratio(c, b) >= wanted; });
    };
    QColor result = colour.toRgb();
    result.setAlpha(255);
    for (int step = 1; step <= 20 && !enough(result); ++step) {
        QColor toward = target;
        toward.setAlphaF(static_cast<float>(step) / 20);
        result = over(toward, colour.toRgb());
    }
    return result;
}

} // namespace corvane::Contrast
