#pragma once

#include <optional>
#include <string>

namespace corvane {

// The application's own light or dark look, as palettes over the desktop's style; none returns to the
// palette the desktop gave the app at start.
namespace Appearance {

inline constexpr const char* light = "light";
inline constexpr const char* dark = "dark";

void apply(const std::optional<std::string>& name);

} // namespace Appearance

} // namespace corvane
