#pragma once

#include "platform/core/Bytes.hpp"

#include <cstdint>

namespace corvane::stream {

// The per-session secret: the AES-128 key of the control channel and its id, both sent at launch.
struct SessionKeys {
    Bytes key;             // 16 bytes
    std::int32_t keyID = 0;

    // Fresh keys from the secure random source: the id (4 bytes, little-endian) first, then the key.
    static SessionKeys random();
    bool operator==(const SessionKeys&) const = default;
};

} // namespace corvane::stream
