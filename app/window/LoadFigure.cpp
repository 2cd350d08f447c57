#include "app/window/LoadFigure.hpp"

#include <algorithm>
#include <cmath>

namespace corvane::LoadFigure {

std::optional<int> percent(double load) {
    const double rounded = std::round(load);
    // NaN fails both comparisons; -0.4 rounds to -0, which reads 0.
    if (!(rounded >= 0 && rounded <= 100)) return std::nullopt;
    return static_cast<int>(rounded);
}

std::string text(double load) {
    const auto figure = percent(load);
    return figure ? std::to_string(*figure) + "%" : std::string("-");
}

double fill(double load) {
    if (!percent(load)) return 0;
    return std::clamp(load / 100, 0.0, 1.0);
}

}  // namespace corvane::LoadFigure
