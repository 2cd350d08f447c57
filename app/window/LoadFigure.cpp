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

std::optional<long long> celsius(double temperature) {
    const double rounded = std::round(temperature);
    if (!(rounded >= -273 && rounded <= 1000)) return std::nullopt;  // NaN too
    return static_cast<long long>(rounded);
}

bool withinTotal(std::uint64_t part, std::uint64_t total) { return part <= total; }

}  // namespace corvane::LoadFigure
