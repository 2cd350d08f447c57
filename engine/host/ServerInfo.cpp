#include "engine/host/ServerInfo.hpp"

#include "engine/Text.hpp"
#include "engine/host/HostReply.hpp"

#include <optional>

namespace corvane::stream {
namespace {

std::optional<std::int64_t> integerAt(const HostXML& xml, std::string_view name) {
    const auto value = xml[name];
    if (!value) return std::nullopt;
    return text::parseInteger(*value);
}

// A port the host reports is used only when it is one: anything else would be truncated or rejected
// somewhere further down, so the standard port stands in.
int portAt(const HostXML& xml, std::string_view name, int fallback) {
    const auto value = integerAt(xml, name);
    if (!value || *value < 1 || *value > 65535) return fallback;
    return static_cast<int>(*value);
}

} // namespace

ServerInfo::ServerInfo(const HostXML& xml) {
    HostReply::check(xml);
    hostname = xml["hostname"].value_or("");
    uniqueID = xml["uniqueid"].value_or("");
    appVersion = xml["appversion"].value_or("");
    httpsPort = portAt(xml, "HttpsPort", kDefaultHttpsPort);
    httpPort = portAt(xml, "ExternalPort", kDefaultHttpPort);
    paired = xml["PairStatus"] == "1";
    currentGame = integerAt(xml, "currentgame").value_or(0);
    state = xml["state"].value_or("");
    codecModeSupport = integerAt(xml, "ServerCodecModeSupport").value_or(0);
    maxLumaPixelsHEVC = integerAt(xml, "MaxLumaPixelsHEVC").value_or(0);
}

std::int64_t ServerInfo::majorVersion() const {
    std::string_view rest = appVersion;
    while (!rest.empty()) {
        const auto dot = rest.find('.');
        const std::string_view piece = rest.substr(0, dot);
        if (!piece.empty()) return text::parseInteger(piece).value_or(0);
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    return 0;
}

bool ServerInfo::busy() const {
    constexpr std::string_view suffix = "_BUSY";
    return state.size() >= suffix.size() && state.compare(state.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace corvane::stream
