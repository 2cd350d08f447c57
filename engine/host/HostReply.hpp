#pragma once

#include "engine/host/HostXML.hpp"

namespace corvane::stream {

namespace HostReply {
// Returns when the root's "status_code" reads as 200; otherwise throws HostError::status with the code
// (0 when missing or not a number) and "status_message" (empty when missing).
void check(const HostXML& root);
} // namespace HostReply

} // namespace corvane::stream
