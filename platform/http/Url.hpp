#pragma once

#include <optional>
#include <string_view>

namespace corvane::platform::Url {

// The port a URL of any scheme names, or nothing when the text is no URL or names no port.
// Ports outside 1-65535 count as none.
std::optional<int> port(std::string_view url);

} // namespace corvane::platform::Url
