#include "platform/crypto/Crypto.hpp"

#include <algorithm>
#include <climits>
#include <new>
#include <string_view>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace corvane::platform {
namespace {

// CommonCrypto's status words, kept so that a failed cipher call reads the same in the log.
constexpr std::int32_t kCCParamError = -4300;
constexpr std::int32_t kCCAlignmentError = -4303;
constexpr std::int32_t kCCUnspecifiedError = -4308;
constexpr std::int32_t kCCKeySizeError = -4310;

// The most recent OpenSSL error of this thread as text, clearing the queue; "unknown" when there is none.
std::string lastOpenSslError() {
    unsigned long code = 0;
    unsigned long last = 0;
    while ((code = ERR_get_error()) != 0) last = code;
    if (last == 0) return "unknown";
    char text[256];
    ERR_error_string_n(last, text, sizeof text);
    return text;
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::shared_ptr<evp_pkey_st> shareKey(EVP_PKEY* key) { return {key, EVP_PKEY_free}; }

// A certificate parsed from DER. Trailing bytes after the certificate make it no certificate.
X509Ptr parseCertificate(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return nullptr;
    const unsigned char* cursor = der.data();
    X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cert || cursor != der.data() + der.size()) {
        ERR_clear_error();
        return nullptr;
    }
    return cert;
}

// OpenSSL's lengths are ints; large inputs go through in slices of this many bytes (a whole number of
// AES blocks and of Base64 groups).
constexpr std::size_t kSlice = std::size_t(3) << 28;

} // namespace

PrivateKey PrivateKey::generateRsa(int bits) {
    if (bits <= 0) throw CryptoError(CryptoError::Kind::keyGeneration, "invalid key size");
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits));
    if (!key) throw CryptoError(CryptoError::Kind::keyGeneration, lastOpenSslError());
    return PrivateKey(shareKey(key));
}

std::optional<PrivateKey> PrivateKey::fromPem(std::string_view pem) {
    if (pem.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::nullopt;
    // An empty passphrase callback: an encrypted key is refused rather than prompting on the terminal.
    EVP_PKEY* key = PEM_read_bio_PrivateKey(
        bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    if (!key) {
        ERR_clear_error();
        return std::nullopt;
    }
    return PrivateKey(shareKey(key));
}

std::string PrivateKey::toPem() const {
    if (!key_) throw CryptoError(CryptoError::Kind::encoding, "no key");
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw CryptoError(CryptoError::Kind::encoding, lastOpenSslError());
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

Bytes PrivateKey::publicKeyPkcs1() const {
    if (!key_) throw CryptoError(CryptoError::Kind::encoding, "no key");
    // For an RSA key, i2d_PublicKey writes the PKCS #1 RSAPublicKey structure (modulus, exponent).
    const int size = i2d_PublicKey(key_.get(), nullptr);
    if (size <= 0) throw CryptoError(CryptoError::Kind::encoding, lastOpenSslError());
    Bytes out(static_cast<std::size_t>(size));
    unsigned char* cursor = out.data();
    if (i2d_PublicKey(key_.get(), &cursor) != size) throw CryptoError(CryptoError::Kind::encoding, lastOpenSslError());
    return out;
}

bool PrivateKey::matchesCertificate(ByteView certificateDER) const {
    if (!key_) return false;
    const X509Ptr cert = parseCertificate(certificateDER);
    if (!cert) return false;
    EVP_PKEY* publicKey = X509_get0_pubkey(cert.get());
    const bool same = publicKey && EVP_PKEY_eq(key_.get(), publicKey) == 1;
    ERR_clear_error();
    return same;
}

namespace Crypto {

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    std::size_t done = 0;
    while (done < count) {
        const std::size_t slice = std::min(count - done, kSlice);
        const int status = RAND_bytes(out.data() + done, static_cast<int>(slice));
        if (status != 1)
            throw CryptoError(CryptoError::Kind::random, lastOpenSslError(), status == 0 ? -1 : status);
        done += slice;
    }
    return out;
}

Bytes sha256(std::initializer_list<ByteView> pieces) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    for (const ByteView piece : pieces)
        ok = ok && EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) == 1;
    ok = ok && EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) == 1;
    // Only an allocation failure can get here; SHA-256 itself cannot fail.
    if (!ok) throw std::bad_alloc();
    digest.resize(size);
    return digest;
}

Bytes signSha256(const PrivateKey& key, ByteView message) {
    if (!key) throw CryptoError(CryptoError::Kind::sign, "no key");
    if (!EVP_PKEY_is_a(key.native(), "RSA")) throw CryptoError(CryptoError::Kind::sign, "not an RSA key");
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyCtx = nullptr;  // owned by ctx
    std::size_t size = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), &keyCtx, EVP_sha256(), nullptr, key.native()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PADDING) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()) != 1)
        throw CryptoError(CryptoError::Kind::sign, lastOpenSslError());
    Bytes signature(size);
    if (EVP_DigestSign(ctx.get(), signature.data(), &size, message.data(), message.size()) != 1)
        throw CryptoError(CryptoError::Kind::sign, lastOpenSslError());
    signature.resize(size);
    return signature;
}

bool verifySha256(ByteView certificateDER, ByteView message, ByteView signature) {
    const X509Ptr cert = parseCertificate(certificateDER);
    if (!cert) return false;
    EVP_PKEY* publicKey = X509_get0_pubkey(cert.get());
    MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyCtx = nullptr;
    const bool valid = publicKey && EVP_PKEY_is_a(publicKey, "RSA") && ctx &&
                       EVP_DigestVerifyInit(ctx.get(), &keyCtx, EVP_sha256(), nullptr, publicKey) == 1 &&
                       EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PADDING) == 1 &&
                       EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                                        message.size()) == 1;
    ERR_clear_error();
    return valid;
}

Bytes aes128Ecb(ByteView data, ByteView key, bool encrypt) {
    // Refused before any work, so a bad call never yields partial output.
    if (key.size() != 16) throw CryptoError(CryptoError::Kind::aes, "AES-128 needs a 16-byte key", kCCKeySizeError);
    if (data.size() % 16 != 0)
        throw CryptoError(CryptoError::Kind::aes, "data is not a whole number of 16-byte blocks", kCCAlignmentError);
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex2(ctx.get(), EVP_aes_128_ecb(), key.data(), nullptr, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        throw CryptoError(CryptoError::Kind::aes, lastOpenSslError(), kCCParamError);
    Bytes out(data.size());
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t slice = std::min(data.size() - done, kSlice);
        int written = 0;
        if (EVP_CipherUpdate(ctx.get(), out.data() + done, &written, data.data() + done, static_cast<int>(slice)) != 1 ||
            static_cast<std::size_t>(written) != slice)
            throw CryptoError(CryptoError::Kind::aes, lastOpenSslError(), kCCUnspecifiedError);
        done += slice;
    }
    unsigned char tail[16];
    int tailSize = 0;
    if (EVP_CipherFinal_ex(ctx.get(), tail, &tailSize) != 1 || tailSize != 0)
        throw CryptoError(CryptoError::Kind::aes, lastOpenSslError(), kCCUnspecifiedError);
    return out;
}

bool isCertificate(ByteView der) { return parseCertificate(der) != nullptr; }

std::optional<std::string> certificateCommonName(ByteView der) {
    const X509Ptr cert = parseCertificate(der);
    if (!cert) return std::nullopt;
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    // The most specific common name is the last one.
    int index = -1;
    for (int next = -1; (next = X509_NAME_get_index_by_NID(subject, NID_commonName, next)) >= 0;) index = next;
    if (index < 0) return std::string();
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int size = ASN1_STRING_to_UTF8(&utf8, value);
    if (size < 0) {
        ERR_clear_error();
        return std::string();
    }
    std::string name(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(size));
    OPENSSL_free(utf8);
    return name;
}

std::string base64Encode(ByteView data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t done = 0;
    while (done < data.size()) {
        const std::size_t slice = std::min(data.size() - done, kSlice);
        std::string block(4 * ((slice + 2) / 3) + 1, '\0');
        const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(block.data()), data.data() + done,
                                            static_cast<int>(slice));
        out.append(block.data(), static_cast<std::size_t>(written));
        done += slice;
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    // EVP_DecodeBlock skips blanks and is loose about '=', so the text is checked in full first.
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        const bool inAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '+' || c == '/';
        if (!inAlphabet) return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t slice = std::min(text.size() - done, (kSlice / 3) * 4);
        Bytes block(slice / 4 * 3);
        const int written = EVP_DecodeBlock(block.data(), reinterpret_cast<const unsigned char*>(text.data() + done),
                                            static_cast<int>(slice));
        if (written < 0 || static_cast<std::size_t>(written) != block.size()) return std::nullopt;
        out.insert(out.end(), block.begin(), block.end());
        done += slice;
    }
    // EVP_DecodeBlock counts the padding as zero bytes.
    out.resize(out.size() - padding);
    return out;
}

} // namespace Crypto
} // namespace corvane::platform
