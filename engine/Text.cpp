#include "engine/Text.hpp"

#include <algorithm>
#include <charconv>

namespace corvane::stream::text {
namespace {

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes; 1 for an invalid byte, which then matches nothing
};

CodePoint decodeAt(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) -> int {
        if (i + k >= s.size()) return -1;
        const auto b = static_cast<unsigned char>(s[i + k]);
        return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
    };
    if (b0 < 0x80) return {b0, 1};
    if ((b0 & 0xE0) == 0xC0) {
        const int c1 = cont(1);
        if (c1 >= 0) return {char32_t(((b0 & 0x1F) << 6) | c1), 2};
    } else if ((b0 & 0xF0) == 0xE0) {
        const int c1 = cont(1), c2 = cont(2);
        if (c1 >= 0 && c2 >= 0) return {char32_t(((b0 & 0x0F) << 12) | (c1 << 6) | c2), 3};
    } else if ((b0 & 0xF8) == 0xF0) {
        const int c1 = cont(1), c2 = cont(2), c3 = cont(3);
        if (c1 >= 0 && c2 >= 0 && c3 >= 0) return {char32_t(((b0 & 0x07) << 18) | (c1 << 12) | (c2 << 6) | c3), 4};
    }
    return {0xFFFD, 1};
}

bool isLineEnd(char32_t c) {
    return c == 0x0A || c == 0x0B || c == 0x0C || c == 0x0D || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isSpaceSeparator(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

bool isBlank(char32_t c) { return c == 0x09 || isSpaceSeparator(c); }
bool isWhitespace(char32_t c) { return isBlank(c) || isLineEnd(c); }

// Code points are found from the front; for the back we step over continuation bytes to a lead byte.
template <class Pred>
std::string_view trim(std::string_view s, Pred pred) {
    std::size_t begin = 0;
    while (begin < s.size()) {
        const auto cp = decodeAt(s, begin);
        if (!pred(cp.value) || cp.value == 0xFFFD) break;
        begin += cp.length;
    }
    std::size_t end = s.size();
    while (end > begin) {
        std::size_t lead = end - 1;
        while (lead > begin && (static_cast<unsigned char>(s[lead]) & 0xC0) == 0x80 && end - lead < 4) --lead;
        const auto cp = decodeAt(s, lead);
        if (lead + cp.length != end || cp.value == 0xFFFD || !pred(cp.value)) break;
        end = lead;
    }
    return s.substr(begin, end - begin);
}

} // namespace

std::string_view trimWhitespace(std::string_view text) { return trim(text, isWhitespace); }
std::string_view trimBlanks(std::string_view text) { return trim(text, isBlank); }

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0, i = 0;
    while (i < text.size()) {
        const auto cp = decodeAt(text, i);
        if (cp.value != 0xFFFD && isLineEnd(cp.value)) {
            lines.push_back(text.substr(start, i - start));
            start = i + cp.length;
        }
        i += cp.length;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    // Parse with the sign attached so that the most negative value fits.
    std::string signedDigits;
    if (negative) signedDigits.push_back('-');
    signedDigits.append(digits);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
    if (ec != std::errc() || end != signedDigits.data() + signedDigits.size()) return std::nullopt;
    return value;
}

std::string forLog(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(std::min(text.size(), limit) + 8);
    std::size_t i = 0;
    while (i < text.size() && i < limit) {
        const auto cp = decodeAt(text, i);
        // A sequence cut by the limit is dropped whole rather than left broken.
        if (i + cp.length > limit) break;
        const char32_t c = cp.value;
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || (c == 0xFFFD && cp.length == 1)) {
            // Invalid UTF-8 bytes too, so the line stays valid text.
            const auto byte = static_cast<unsigned char>(text[i]);
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
        } else {
            out.append(text.substr(i, cp.length));
        }
        i += cp.length;
    }
    if (i < text.size()) out += "...";
    return out;
}

std::string messageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

} // namespace corvane::stream::text
