#include "engine/pairing/identity/DER.hpp"

#include <charconv>
#include <cstdio>

namespace corvane::stream::DER {
namespace {

Bytes wrap(std::uint8_t tag, std::initializer_list<ByteView> elements) {
    Bytes content;
    for (const ByteView element : elements) content.insert(content.end(), element.begin(), element.end());
    return tlv(tag, content);
}

// X.690 8.19.2: base 128, most significant group first, bit 7 set on every byte but the last.
void appendBase128(Bytes& out, unsigned __int128 value) {
    std::uint8_t groups[20];
    std::size_t count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) out.push_back(groups[--count] | 0x80);
    out.push_back(groups[0]);
}

} // namespace

EncodingError EncodingError::badObjectIdentifier(std::string_view text) {
    std::string printed = "badObjectIdentifier(\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') printed += '\\';
        printed += c;
    }
    return EncodingError(Kind::badObjectIdentifier, printed + "\")");
}

EncodingError EncodingError::negativeInteger(std::int64_t value) {
    return EncodingError(Kind::negativeInteger, "negativeInteger(" + std::to_string(value) + ")");
}

Bytes length(std::size_t n) {
    if (n < 0x80) return {static_cast<std::uint8_t>(n)};
    Bytes bytes;
    for (std::size_t rest = n; rest != 0; rest >>= 8) bytes.insert(bytes.begin(), static_cast<std::uint8_t>(rest));
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(0x80 + bytes.size()));
    return bytes;
}

Bytes tlv(std::uint8_t tag, ByteView content) {
    Bytes out{tag};
    const Bytes lengthBytes = length(content.size());
    out.insert(out.end(), lengthBytes.begin(), lengthBytes.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes oid(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::size_t end = dotted.find('.', start);
        if (end == std::string_view::npos) end = dotted.size();
        const std::string_view piece = dotted.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        std::uint64_t arc = 0;
        const auto [next, error] = std::from_chars(piece.data(), piece.data() + piece.size(), arc);
        if (error != std::errc() || next != piece.data() + piece.size())
            throw EncodingError::badObjectIdentifier(dotted);
        arcs.push_back(arc);
    }
    // X.690 8.19.4: the first two arcs share one sub-identifier, 40 * first + second.
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40))
        throw EncodingError::badObjectIdentifier(dotted);
    Bytes content;
    appendBase128(content, static_cast<unsigned __int128>(arcs[0]) * 40 + arcs[1]);
    for (std::size_t i = 2; i < arcs.size(); ++i) appendBase128(content, arcs[i]);
    return tlv(0x06, content);
}

Bytes sequence(std::initializer_list<ByteView> elements) { return wrap(0x30, elements); }
Bytes set(std::initializer_list<ByteView> elements) { return wrap(0x31, elements); }

Bytes utf8String(std::string_view text) { return tlv(0x0C, bytesOf(text)); }

Bytes integer(ByteView magnitude) {
    std::size_t first = 0;
    while (first < magnitude.size() && magnitude[first] == 0) ++first;
    Bytes content;
    if (first == magnitude.size() || (magnitude[first] & 0x80) != 0) content.push_back(0x00);
    content.insert(content.end(), magnitude.begin() + static_cast<std::ptrdiff_t>(first), magnitude.end());
    return tlv(0x02, content);
}

Bytes integer(std::int64_t value) {
    if (value < 0) throw EncodingError::negativeInteger(value);
    Bytes bytes;
    auto rest = static_cast<std::uint64_t>(value);
    do {
        bytes.insert(bytes.begin(), static_cast<std::uint8_t>(rest & 0xFF));
        rest >>= 8;
    } while (rest != 0);
    return integer(ByteView(bytes));
}

Bytes time(std::chrono::system_clock::time_point instant) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(instant);
    const auto day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss clock(seconds - day);
    const int year = static_cast<int>(date.year());
    const unsigned month = static_cast<unsigned>(date.month());
    const unsigned dayOfMonth = static_cast<unsigned>(date.day());
    const auto hour = static_cast<int>(clock.hours().count());
    const auto minute = static_cast<int>(clock.minutes().count());
    const auto second = static_cast<int>(clock.seconds().count());
    char text[40];
    if (year >= 2050) {
        std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02dZ", year, month, dayOfMonth, hour, minute, second);
        return tlv(0x18, bytesOf(text));
    }
    std::snprintf(text, sizeof text, "%02d%02u%02u%02d%02d%02dZ", ((year % 100) + 100) % 100, month, dayOfMonth, hour,
                  minute, second);
    return tlv(0x17, bytesOf(text));
}

//  +-----+-----+-----------------+----------------+
//  | tag |  L  | k length bytes  | content        |   L < 0x80: the length is L and k = 0
//  +-----+-----+-----------------+----------------+   L = 0x80 + k (1 <= k <= 4): k bytes big-endian
Element readElement(ByteView input) {
    if (input.size() < 2) throw ParseError::truncated();
    const std::uint8_t tag = input[0];
    const std::uint8_t lengthByte = input[1];
    std::size_t offset = 2;
    std::size_t contentLength = lengthByte;
    if (lengthByte >= 0x80) {
        const std::size_t count = lengthByte - 0x80u;
        if (count == 0 || count > 4) throw ParseError::badLength();
        if (count > input.size() - offset) throw ParseError::badLength();
        contentLength = 0;
        for (std::size_t i = 0; i < count; ++i) contentLength = contentLength << 8 | input[offset + i];
        offset += count;
    }
    // Compared against what is left rather than added to the offset, so no sum can wrap.
    if (contentLength > input.size() - offset) throw ParseError::truncated();
    return {tag, input.subspan(offset, contentLength), input.subspan(offset + contentLength)};
}

std::pair<Node, Bytes> read(ByteView input) {
    const Element element = readElement(input);
    return {Node{element.tag, Bytes(element.body.begin(), element.body.end())},
            Bytes(element.rest.begin(), element.rest.end())};
}

std::vector<Node> children(ByteView input) {
    // Walks the buffer by views, so each body is copied once and the rest never.
    std::vector<Node> nodes;
    ByteView rest = input;
    while (!rest.empty()) {
        const Element element = readElement(rest);
        nodes.push_back(Node{element.tag, Bytes(element.body.begin(), element.body.end())});
        rest = element.rest;
    }
    return nodes;
}

} // namespace corvane::stream::DER
