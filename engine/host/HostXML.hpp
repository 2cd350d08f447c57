#pragma once

#include "platform/core/Bytes.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::stream {

// One element of a streaming host's XML reply; a parsed reply is its root element. Plain value.
struct HostXML {
    std::string name;
    std::map<std::string, std::string> attributes;
    // The element's own character data in document order (text between children included), trimmed of
    // white space and line ends at both ends.
    std::string text;
    std::vector<HostXML> children;

    // The root element, or nothing when the bytes are not a well-formed document (or carry a DTD, or nest
    // too deep).
    static std::optional<HostXML> parse(ByteView bytes);

    // The text of the first direct child with exactly this name.
    std::optional<std::string> operator[](std::string_view childName) const;
    // Every direct child with exactly this name, in document order.
    std::vector<HostXML> all(std::string_view childName) const;

    bool operator==(const HostXML&) const = default;
};

} // namespace corvane::stream
