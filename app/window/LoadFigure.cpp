#include "app/window/LoadFigure.hpp"

#include <algorithm>
#include <cmath>

namespace corvane::LoadFigure {

std::optional<long long> percent(double load) {
    const double rounded = std::round(load);
    // NaN fails both comparisons; -0.4 rounds to -0, which reads 0; the bound keeps the cast within long long.
    if (!(rounded >= 0 && rounded < 9.2e18)) return std::nullopt;
    return static_cast<long long>(rounded);
}

std::string text(double load) {
    const auto figure = percent(load);
    return figure ? std::to_string(*figure) + "%" : std::string("-");
}

double fill(double load) {
    if (!percent(load)) return 0;
    return std::max(load / 100, 0.0);
}

}  // namespace corvane::LoadFigure
