#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::stream::NetworkHints {

// The local IPv4 address the system would use to reach `host` (dotted IPv4), or nothing. Sends nothing.
std::optional<std::string> localAddress(std::string_view host);

} // namespace corvane::stream::NetworkHints
