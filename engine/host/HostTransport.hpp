#pragma once

#include "engine/host/HostXML.hpp"

#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace corvane::stream {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// One GET to the streaming host, as PIN pairing sends its steps. Blocking; stopping the token cancels.
class HostTransport {
public:
    virtual ~HostTransport() = default;
    // The root of the reply whatever its HTTP status; the caller judges its "status_code".
    virtual HostXML get(const std::string& path, const QueryItems& query, bool secure, double timeout,
                        std::stop_token stop = {}) = 0;
};

} // namespace corvane::stream
