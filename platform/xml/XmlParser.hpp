#pragma once

#include "platform/core/Bytes.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::platform {

// Event-driven XML parsing on expat, without namespace processing. Documents with a DTD, entity
// declarations or nesting deeper than maxDepth are refused, so replies from the network cannot expand
// entities or exhaust the stack. Character data may arrive in several pieces. An exception thrown by an
// event handler stops the parse and is rethrown from parse().
class XmlParser final {
public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;
    struct Events {
        std::function<void(std::string_view name, const Attributes& attributes)> startElement;
        std::function<void(std::string_view characters)> characters;
        std::function<void(std::string_view name)> endElement;
        // Text inside CDATA sections; when unset it goes to `characters` like any other text.
        std::function<void(std::string_view characters)> cdata;
    };
    struct Limits {
        std::size_t maxDepth = 64;
    };

    // Runs the whole document on the calling thread; true only for a well-formed document within the limits.
    static bool parse(ByteView document, const Events& events, Limits limits);
    static bool parse(ByteView document, const Events& events) { return parse(document, events, Limits()); }
};

} // namespace corvane::platform
