#include "engine/host/HostXML.hpp"

#include "engine/Text.hpp"
#include "platform/xml/XmlParser.hpp"

#include <utility>

namespace corvane::stream {
namespace {

// Host replies are a root with a few flat children; anything deeper than this is not a reply.
constexpr std::size_t kMaxDepth = 32;

class Builder {
public:
    platform::XmlParser::Events events() {
        platform::XmlParser::Events e;
        e.startElement = [this](std::string_view name, const platform::XmlParser::Attributes& attributes) {
            HostXML element;
            element.name = std::string(name);
            for (const auto& [key, value] : attributes) element.attributes.insert_or_assign(key, value);
            stack_.push_back(std::move(element));
        };
        e.characters = [this](std::string_view characters) {
            if (!stack_.empty()) stack_.back().text.append(characters);
        };
        // CDATA sections are not part of an element's text.
        e.cdata = [](std::string_view) {};
        e.endElement = [this](std::string_view) {
            if (stack_.empty()) return;
            HostXML element = std::move(stack_.back());
            stack_.pop_back();
            element.text = std::string(text::trimWhitespace(element.text));
            if (stack_.empty())
                root_ = std::move(element);
            else
                stack_.back().children.push_back(std::move(element));
        };
        return e;
    }

    std::optional<HostXML> takeRoot() { return std::move(root_); }

private:
    std::vector<HostXML> stack_;
    std::optional<HostXML> root_;
};

} // namespace

std::optional<HostXML> HostXML::parse(ByteView bytes) {
    Builder builder;
    if (!platform::XmlParser::parse(bytes, builder.events(), {.maxDepth = kMaxDepth})) return std::nullopt;
    return builder.takeRoot();
}

std::optional<std::string> HostXML::operator[](std::string_view childName) const {
    for (const auto& child : children)
        if (child.name == childName) return child.text;
    return std::nullopt;
}

std::vector<HostXML> HostXML::all(std::string_view childName) const {
    std::vector<HostXML> found;
    for (const auto& child : children)
        if (child.name == childName) found.push_back(child);
    return found;
}

} // namespace corvane::stream
