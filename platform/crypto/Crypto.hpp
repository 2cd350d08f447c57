#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace corvane::platform {

class CryptoError final : public Error {
public:
    enum class Kind { random, sign, aes, keyGeneration, encoding };
    CryptoError(Kind kind, std::string message, std::int32_t status = 0)
        : Error(std::move(message)), kind(kind), status(status) {}
    Kind kind;
    std::int32_t status;
};

// A private key held by OpenSSL. Copies share one key, released with the last copy.
class PrivateKey {
public:
    PrivateKey() = default;
    static PrivateKey generateRsa(int bits);                    // throws CryptoError::keyGeneration
    static std::optional<PrivateKey> fromPem(std::string_view pem);
    std::string toPem() const;                                 // PKCS #8, unencrypted
    Bytes publicKeyPkcs1() const;                              // RSAPublicKey DER; throws CryptoError::encoding
    bool matchesCertificate(ByteView certificateDER) const;    // same public key as the certificate's
    evp_pkey_st* native() const { return key_.get(); }
    explicit operator bool() const { return key_ != nullptr; }

private:
    explicit PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> key_;
};

namespace Crypto {

Bytes randomBytes(std::size_t count);                           // throws CryptoError::random
Bytes sha256(std::initializer_list<ByteView> pieces);           // digest of the pieces in order
// RSASSA-PKCS1-v1_5 over SHA-256 of the message; throws CryptoError::sign.
Bytes signSha256(const PrivateKey& key, ByteView message);
// Verifies under the public key of a DER certificate; every problem reads as false.
bool verifySha256(ByteView certificateDER, ByteView message, ByteView signature);
// AES-128 in ECB mode, no padding. A key other than 16 bytes or data that is not whole blocks throws
// CryptoError::aes and produces no output.
Bytes aes128Ecb(ByteView data, ByteView key, bool encrypt);
bool isCertificate(ByteView der);
// The certificate subject's common name, or nothing for bytes that are not a certificate.
std::optional<std::string> certificateCommonName(ByteView der);

std::string base64Encode(ByteView data);
// Strict RFC 4648 decoding: padded to a multiple of 4, no characters outside the alphabet.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace Crypto
} // namespace corvane::platform
