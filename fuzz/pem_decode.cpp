// Arbitrary text through the PEM decoder: it gives bytes or nothing, and what it gives re-encodes to the
// Base64 it read.
#include "engine/pairing/identity/X509.hpp"

#include "platform/crypto/Crypto.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace corvane;
using namespace corvane::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto der = X509::derFromPEM(text);
    if (der && der->size() > size) std::abort();
    if (der) {
        // A strict decoding round-trips.
        const auto again = platform::Crypto::base64Decode(platform::Crypto::base64Encode(*der));
        if (!again || *again != *der) std::abort();
    }
    return 0;
}
