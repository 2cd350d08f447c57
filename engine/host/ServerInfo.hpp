#pragma once

#include "engine/host/HostXML.hpp"

#include <cstdint>
#include <string>

namespace corvane::stream {

// The streaming host's server information (a /serverinfo reply). Plain value; missing or malformed fields
// take the defaults below and never fail.
struct ServerInfo {
    static constexpr int kDefaultHttpsPort = 47984;
    static constexpr int kDefaultHttpPort = 47989;

    std::string hostname;
    std::string uniqueID;
    std::string appVersion;
    int httpsPort = kDefaultHttpsPort;  // "HttpsPort"; a value outside 1-65535 keeps the default
    int httpPort = kDefaultHttpPort;    // "ExternalPort"; likewise
    bool paired = false;                // "PairStatus" is exactly "1"
    std::int64_t currentGame = 0;
    std::string state;
    std::int64_t codecModeSupport = 0;  // the host's codec bit mask, not decoded here
    std::int64_t maxLumaPixelsHEVC = 0;

    ServerInfo() = default;
    // Checks the reply's status first and throws its HostError.
    explicit ServerInfo(const HostXML& xml);

    // The first non-empty dot-separated piece of appVersion as an integer; 0 when there is none.
    std::int64_t majorVersion() const;
    // The host reports a running session ("..._BUSY").
    bool busy() const;

    bool operator==(const ServerInfo&) const = default;
};

} // namespace corvane::stream
