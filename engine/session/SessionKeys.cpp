#include "engine/session/SessionKeys.hpp"

#include "engine/pairing/identity/PairingCrypto.hpp"

namespace corvane::stream {

SessionKeys SessionKeys::random() {
    const Bytes id = PairingCrypto::random(4);
    SessionKeys keys;
    keys.keyID = static_cast<std::int32_t>(std::uint32_t(id[0]) | std::uint32_t(id[1]) << 8 |
                                           std::uint32_t(id[2]) << 16 | std::uint32_t(id[3]) << 24);
    keys.key = PairingCrypto::random(16);
    return keys;
}

} // namespace corvane::stream
