#pragma once

#include "platform/core/Bytes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace corvane::stream {

// Bytes as upper-case hex, two digits a byte, no separators.
std::string hex(ByteView bytes);
// Hex text (either case) to bytes; nothing for an odd length or any other character. "" gives no bytes.
std::optional<Bytes> bytesFromHex(std::string_view text);

} // namespace corvane::stream
