#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A minimal writer and reader of ASN.1 DER: single-byte tags, definite lengths, no schema. Enough to build
// a self-signed certificate and to take a certificate apart. Pure functions, callable from any thread.
namespace corvane::stream::DER {

// The reader's failures. what() is the case name.
class ParseError final : public corvane::Error {
public:
    enum class Kind { truncated, badLength };
    static ParseError truncated() { return ParseError(Kind::truncated, "truncated"); }
    static ParseError badLength() { return ParseError(Kind::badLength, "badLength"); }
    bool operator==(const ParseError& other) const { return kind == other.kind; }
    Kind kind;

private:
    ParseError(Kind kind, std::string printed) : corvane::Error(std::move(printed)), kind(kind) {}
};

// A writer given something it cannot encode (an object identifier that X.690 cannot express, a negative
// whole number).
class EncodingError final : public corvane::Error {
public:
    enum class Kind { badObjectIdentifier, negativeInteger };
    static EncodingError badObjectIdentifier(std::string_view text);
    static EncodingError negativeInteger(std::int64_t value);
    bool operator==(const EncodingError& other) const { return kind == other.kind; }
    Kind kind;

private:
    EncodingError(Kind kind, std::string printed) : corvane::Error(std::move(printed)), kind(kind) {}
};

// One element as read: the identifier byte exactly as found, and a copy of its content.
struct Node {
    std::uint8_t tag = 0;
    Bytes body;
    bool operator==(const Node&) const = default;
};

// One element found in a buffer without copying: views into the buffer that was read.
struct Element {
    std::uint8_t tag = 0;
    ByteView body;
    ByteView rest;
};

inline constexpr std::array<std::uint8_t, 2> null{0x05, 0x00};

// Length bytes for a content of n bytes: short form below 128, else 0x80 + count and the big-endian bytes.
Bytes length(std::size_t n);
Bytes tlv(std::uint8_t tag, ByteView content);
// OBJECT IDENTIFIER from dotted decimal text ("2.5.4.3"); empty pieces are left out. Throws
// EncodingError::badObjectIdentifier for fewer than two arcs, a first arc above 2, a second arc of 40 or more
// under a first arc of 0 or 1, or a piece that is not a decimal number within 64 bits.
Bytes oid(std::string_view dotted);
Bytes sequence(std::initializer_list<ByteView> elements = {});
Bytes set(std::initializer_list<ByteView> elements = {});
template <typename... Elements>
    requires(sizeof...(Elements) > 0 && (std::convertible_to<const Elements&, ByteView> && ...))
Bytes sequence(const Elements&... elements) {
    return sequence({ByteView(elements)...});
}
template <typename... Elements>
    requires(sizeof...(Elements) > 0 && (std::convertible_to<const Elements&, ByteView> && ...))
Bytes set(const Elements&... elements) {
    return set({ByteView(elements)...});
}
Bytes utf8String(std::string_view text);
// INTEGER from an unsigned big-endian magnitude: leading zeros dropped, a 00 put in front of a high bit.
Bytes integer(ByteView magnitude);
// INTEGER from a whole number; throws EncodingError::negativeInteger below zero.
Bytes integer(std::int64_t value);
// UTCTime before the year 2050, GeneralizedTime from then on; whole seconds, UTC.
Bytes time(std::chrono::system_clock::time_point instant);

// The first element and a copy of the bytes after it. Throws ParseError.
std::pair<Node, Bytes> read(ByteView input);
// The first element as views into the input. Throws ParseError; never reads past the input's end.
Element readElement(ByteView input);
// Every element in the buffer, in order; the first failure is thrown and no partial list is returned.
std::vector<Node> children(ByteView input);

} // namespace corvane::stream::DER
