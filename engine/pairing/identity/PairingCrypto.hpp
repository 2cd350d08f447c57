#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/crypto/Crypto.hpp"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// The primitives of PIN pairing: random bytes, RSA signatures, SHA-256, the PIN-derived AES key and
// AES-128-ECB. Pure functions (apart from the random source), callable from any thread.
namespace corvane::stream::PairingCrypto {

class Error final : public corvane::Error {
public:
    enum class Kind { aes, random, sign };
    static Error aes(std::int32_t status);
    static Error random(std::int32_t status);
    static Error sign(const std::string& message);

    bool operator==(const Error& other) const {
        return kind == other.kind && status == other.status && message == other.message;
    }

    Kind kind;
    std::int32_t status = 0;  // aes, random
    std::string message;      // sign

private:
    Error(Kind kind, std::string printed) : corvane::Error(std::move(printed)), kind(kind) {}
};

// n bytes from the system's secure random source; throws Error::random.
Bytes random(std::size_t count);
// RSASSA-PKCS1-v1_5 over SHA-256 of the message; throws Error::sign.
Bytes sign(ByteView message, const platform::PrivateKey& key);
// True when the signature is valid under the certificate's public key; every problem gives false.
bool verify(ByteView message, ByteView signature, ByteView certificateDER);

// SHA-256 of the pieces' concatenation, in order.
Bytes sha256(std::initializer_list<ByteView> pieces = {});
template <typename... Pieces>
    requires(sizeof...(Pieces) > 0 && (std::convertible_to<const Pieces&, ByteView> && ...))
Bytes sha256(const Pieces&... pieces) {
    return sha256({ByteView(pieces)...});
}

// The first 16 bytes of SHA-256 over the salt followed by the PIN's UTF-8 bytes.
Bytes pairingKey(ByteView salt, std::string_view pin);
// AES-128 in ECB mode without padding. A key other than 16 bytes or data that is not whole blocks throws
// Error::aes and gives no output.
Bytes aesECB(ByteView data, ByteView key, bool encrypt);

} // namespace corvane::stream::PairingCrypto
