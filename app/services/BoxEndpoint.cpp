#include "app/services/BoxEndpoint.hpp"

#include <arpa/inet.h>

#include <cstdlib>
#include <optional>

namespace corvane::BoxEndpoint {

namespace {

// Only a loopback address may replace the box: a typo must never send the app's traffic elsewhere.
std::optional<std::string> overrideAddress() {
    const char* value = std::getenv(overrideVariable);
    if (!value) return std::nullopt;
    in_addr parsed{};
    if (::inet_pton(AF_INET, value, &parsed) != 1) return std::nullopt;
    if ((ntohl(parsed.s_addr) >> 24) != 127) return std::nullopt;
    return std::string(value);
}

}  // namespace

std::string address() { return overrideAddress().value_or(defaultAddress); }

std::string agentBase() { return "http://" + address() + ":" + std::to_string(agentPort); }

std::string linkPrefix() {
    const std::string box = address();
    return box.substr(0, box.rfind('.') + 1);
}

bool isLinkAddress(const std::string& localAddress) { return localAddress.starts_with(linkPrefix()); }

bool isOverridden() { return overrideAddress().has_value(); }

}  // namespace corvane::BoxEndpoint
