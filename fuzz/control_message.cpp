// Feeds arbitrary bytes to the control channel's receive path (open, count, dispatch) with a key of both
// nonce styles and without one; also opens them directly.
#include "engine/session/ControlChannel.hpp"
#include "engine/session/ControlCrypto.hpp"

#include <cstddef>
#include <cstdint>

using namespace corvane;
using namespace corvane::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Bytes key(16, 0x5A);
    const ByteView bytes(data, size);
    for (auto style : ControlCrypto::allIVStyles) {
        ControlCrypto crypto(key, style);
        try {
            const auto opened = crypto.open(bytes, true);
            if (opened.payload.size() + 4 > size) __builtin_trap();
        } catch (const ControlCrypto::Error&) {
        }
    }
    static ControlChannel sealedChannel("127.0.0.1", 47999, 0, key, ControlCrypto::IVStyle::v2);
    static ControlChannel plainChannel("127.0.0.1", 47999, 0, std::nullopt, ControlCrypto::IVStyle::v2);
    // Whatever is delivered came out of the input: never more payload than bytes given.
    sealedChannel.onMessage = plainChannel.onMessage = [size](std::uint16_t, const Bytes& payload) {
        if (payload.size() + 4 > size) __builtin_trap();
    };
    sealedChannel.handle(bytes);
    plainChannel.handle(bytes);
    return 0;
}
