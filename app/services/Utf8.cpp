#include "app/services/Utf8.hpp"

#include <cstddef>
#include <cstdint>

namespace corvane::Utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at `at`, or 0 with `consumed` set to the bytes of its maximal
// ill-formed start (at least 1). The byte ranges are those of the well-formed UTF-8 table: no overlong
// forms, no surrogates, nothing above U+10FFFF.
std::size_t sequenceAt(std::string_view s, std::size_t at, std::size_t& consumed) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t lead = byte(at);
    consumed = 1;
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= s.size()) return 0;
        const std::uint8_t next = byte(at + i);
        const std::uint8_t lo = i == 1 ? low : 0x80;
        const std::uint8_t hi = i == 1 ? high : 0xBF;
        if (next < lo || next > hi) return 0;
        consumed = i + 1;
    }
    consumed = length;
    return length;
}

} // namespace

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t consumed = 0;
        if (const std::size_t length = sequenceAt(bytes, at, consumed); length > 0) {
            out.append(bytes.substr(at, length));
        } else {
            out.append(kReplacement);
        }
        at += consumed;
    }
    return out;
}

bool isValid(std::string_view bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t consumed = 0;
        if (sequenceAt(bytes, at, consumed) == 0) return false;
        at += consumed;
    }
    return true;
}

} // namespace corvane::Utf8
