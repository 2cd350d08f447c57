#pragma once

#include "engine/session/RTSP.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <stop_token>
#include <string>

namespace corvane::stream::TCPExchange {

// Sends `request` over a fresh TCP connection to `host` (a name or address) and `port` and returns the
// first complete reply, whatever its status. The work runs on its own thread named "corvane.rtsp";
// `timeoutSeconds` covers connecting, sending and receiving together.
// Throws RTSP::Error: timeout(label) when the limit passes, connection(...) when the connection cannot be
// made or sent on (also for a port outside 1...65535, and when `stop` cancels the exchange),
// badResponse(...) for a reply that cannot be read.
RTSP::Response send(const std::string& host, std::int64_t port, const Bytes& request, double timeoutSeconds,
                    const std::string& label, std::stop_token stop = {});

} // namespace corvane::stream::TCPExchange
