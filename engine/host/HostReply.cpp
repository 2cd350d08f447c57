#include "engine/host/HostReply.hpp"

#include "engine/Text.hpp"
#include "engine/host/HostError.hpp"

#include <cstdint>
#include <string>

namespace corvane::stream::HostReply {
namespace {
std::string attribute(const HostXML& element, const std::string& name) {
    const auto found = element.attributes.find(name);
    return found == element.attributes.end() ? std::string() : found->second;
}
} // namespace

void check(const HostXML& root) {
    const std::int64_t code = text::parseInteger(attribute(root, "status_code")).value_or(0);
    if (code == 200) return;
    throw HostError::status(code, attribute(root, "status_message"));
}

} // namespace corvane::stream::HostReply
