#include "engine/session/SessionKeys.hpp"

#include "platform/crypto/Crypto.hpp"

namespace corvane::stream {

SessionKeys SessionKeys::random() {
    const Bytes id = platform::Crypto::randomBytes(4);
    SessionKeys keys;
    keys.keyID = static_cast<std::int32_t>(std::uint32_t(id[0]) | std::uint32_t(id[1]) << 8 |
                                           std::uint32_t(id[2]) << 16 | std::uint32_t(id[3]) << 24);
    keys.key = platform::Crypto::randomBytes(16);
    return keys;
}

} // namespace corvane::stream
