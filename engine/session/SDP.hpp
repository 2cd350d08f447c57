#pragma once

#include "engine/session/StreamConfig.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <string>

// The SDP offer of the ANNOUNCE request: the client's stream parameters in the host's own vocabulary.
namespace corvane::stream::SDP {

// The offer for `config`; `clientAddress` is this machine's dotted IPv4 address as the box sees it
// ("0.0.0.0" when unknown), `encryption` is written unchanged (1 for the v2 control IV style, 0 for v1).
// The attributes, their order and the fixed values are part of the protocol with the host.
Bytes announce(const StreamConfig& config, const std::string& clientAddress, std::int64_t encryption);

} // namespace corvane::stream::SDP
