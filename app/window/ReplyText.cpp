#include "app/window/ReplyText.hpp"

#include <cstdio>

#include "app/services/Utf8.hpp"

namespace corvane {

namespace {
constexpr std::size_t maxBytes = 512;
}

std::string replyText(std::string_view body) {
    const std::string text = Utf8::repaired(body.substr(0, maxBytes + 4));
    std::string out;
    out.reserve(std::min(text.size(), maxBytes) + 16);
    std::size_t taken = 0;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (taken + length > maxBytes) break;
        taken += length;
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace corvane
