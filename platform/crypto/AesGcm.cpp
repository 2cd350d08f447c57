#include "platform/crypto/AesGcm.hpp"

#include "platform/crypto/Crypto.hpp"

#include <climits>
#include <utility>

#include <openssl/evp.h>

namespace corvane::platform {
namespace {

bool fitsInt(std::size_t n) { return n <= static_cast<std::size_t>(INT_MAX); }

// Sets the nonce length (when it changed) and loads the nonce; the key stays as set at construction.
bool loadNonce(EVP_CIPHER_CTX* ctx, std::size_t& current, ByteView nonce, bool encrypt) {
    if (nonce.empty() || !fitsInt(nonce.size())) return false;
    if (nonce.size() != current) {
        if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1)
            return false;
        current = nonce.size();
    }
    return EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data(), encrypt ? 1 : 0) == 1;
}

} // namespace

AesGcm::AesGcm(ByteView key) : key_(key.begin(), key.end()) {
    if (key_.size() != keySize) throw CryptoError(CryptoError::Kind::aes, "AES-GCM needs a 16-byte key");
    makeContexts();
}

AesGcm::~AesGcm() { release(); }

AesGcm::AesGcm(const AesGcm& other) : key_(other.key_) { makeContexts(); }

AesGcm& AesGcm::operator=(const AesGcm& other) {
    if (this != &other) {
        AesGcm copy(other);
        *this = std::move(copy);
    }
    return *this;
}

AesGcm::AesGcm(AesGcm&& other) noexcept
    : key_(std::move(other.key_)), encrypt_(std::exchange(other.encrypt_, nullptr)),
      decrypt_(std::exchange(other.decrypt_, nullptr)), encryptNonceSize_(other.encryptNonceSize_),
      decryptNonceSize_(other.decryptNonceSize_) {}

AesGcm& AesGcm::operator=(AesGcm&& other) noexcept {
    if (this != &other) {
        release();
        key_ = std::move(other.key_);
        encrypt_ = std::exchange(other.encrypt_, nullptr);
        decrypt_ = std::exchange(other.decrypt_, nullptr);
        encryptNonceSize_ = other.encryptNonceSize_;
        decryptNonceSize_ = other.decryptNonceSize_;
    }
    return *this;
}

void AesGcm::makeContexts() {
    encrypt_ = EVP_CIPHER_CTX_new();
    decrypt_ = EVP_CIPHER_CTX_new();
    encryptNonceSize_ = decryptNonceSize_ = 12; // GCM's default
    const bool ok = encrypt_ && decrypt_ &&
                    EVP_EncryptInit_ex(encrypt_, EVP_aes_128_gcm(), nullptr, key_.data(), nullptr) == 1 &&
                    EVP_DecryptInit_ex(decrypt_, EVP_aes_128_gcm(), nullptr, key_.data(), nullptr) == 1;
    if (!ok) {
        release();
        throw CryptoError(CryptoError::Kind::aes, "AES-GCM context could not be made");
    }
}

void AesGcm::release() noexcept {
    EVP_CIPHER_CTX_free(encrypt_);
    EVP_CIPHER_CTX_free(decrypt_);
    encrypt_ = decrypt_ = nullptr;
}

bool AesGcm::seal(ByteView nonce, ByteView plain, std::span<std::uint8_t> cipher,
                  std::span<std::uint8_t, tagSize> tag) {
    if (!encrypt_ || cipher.size() != plain.size() || !fitsInt(plain.size())) return false;
    if (!loadNonce(encrypt_, encryptNonceSize_, nonce, true)) return false;
    int written = 0;
    if (!plain.empty() &&
        EVP_EncryptUpdate(encrypt_, cipher.data(), &written, plain.data(), static_cast<int>(plain.size())) != 1)
        return false;
    int last = 0;
    if (EVP_EncryptFinal_ex(encrypt_, cipher.data() + written, &last) != 1) return false;
    return EVP_CIPHER_CTX_ctrl(encrypt_, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagSize), tag.data()) == 1;
}

bool AesGcm::open(ByteView nonce, ByteView cipher, std::span<const std::uint8_t, tagSize> tag,
                  std::span<std::uint8_t> plain) {
    if (!decrypt_ || plain.size() != cipher.size() || !fitsInt(cipher.size())) return false;
    if (!loadNonce(decrypt_, decryptNonceSize_, nonce, false)) return false;
    int written = 0;
    if (!cipher.empty() &&
        EVP_DecryptUpdate(decrypt_, plain.data(), &written, cipher.data(), static_cast<int>(cipher.size())) != 1)
        return false;
    // OpenSSL only reads the expected tag, but its interface takes a mutable pointer.
    if (EVP_CIPHER_CTX_ctrl(decrypt_, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagSize),
                            const_cast<std::uint8_t*>(tag.data())) != 1)
        return false;
    int last = 0;
    return EVP_DecryptFinal_ex(decrypt_, plain.data() + written, &last) == 1;
}

} // namespace corvane::platform
