#pragma once

#include "platform/core/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

struct evp_cipher_ctx_st;

namespace corvane::platform {

// AES-128-GCM with a 16-byte tag and no additional authenticated data, on OpenSSL 3. The key is set once
// per object; each seal or open only loads the nonce, so the hot path allocates nothing. Nonces of any
// length GCM accepts may be used (12 bytes is the fast path; longer ones go through GHASH).
//
// Not thread-safe: one object per thread, or a lock around it. Copies get contexts of their own.
class AesGcm final {
public:
    static constexpr std::size_t keySize = 16;
    static constexpr std::size_t tagSize = 16;

    // Throws CryptoError(aes) for a key other than 16 bytes or a context OpenSSL refuses to make.
    explicit AesGcm(ByteView key);
    ~AesGcm();
    AesGcm(const AesGcm& other);
    AesGcm& operator=(const AesGcm& other);
    AesGcm(AesGcm&& other) noexcept;
    AesGcm& operator=(AesGcm&& other) noexcept;

    // Encrypts `plain` into `cipher` (same length) and writes the tag. False when OpenSSL refuses the nonce
    // or the sizes do not match; the outputs are then unspecified.
    bool seal(ByteView nonce, ByteView plain, std::span<std::uint8_t> cipher, std::span<std::uint8_t, tagSize> tag);
    // Decrypts and verifies. False on any failure, including a wrong tag; `plain` then holds no usable data.
    bool open(ByteView nonce, ByteView cipher, std::span<const std::uint8_t, tagSize> tag,
              std::span<std::uint8_t> plain);

    const Bytes& key() const { return key_; }

private:
    void makeContexts();
    void release() noexcept;

    Bytes key_;
    evp_cipher_ctx_st* encrypt_ = nullptr;
    evp_cipher_ctx_st* decrypt_ = nullptr;
    // Nonce length each context is set up for, so it is only changed when the length changes.
    std::size_t encryptNonceSize_ = 12;
    std::size_t decryptNonceSize_ = 12;
};

} // namespace corvane::platform
