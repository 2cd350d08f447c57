#include "boxsim/host/BoxCrypto.hpp"

#include <array>
#include <climits>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace corvane::boxsim::BoxCrypto {

namespace {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1)
        throw Failure("boxsim: random source failed");
    return out;
}

Bytes sha256(std::initializer_list<ByteView> pieces) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw Failure("boxsim: SHA-256 failed");
    for (ByteView piece : pieces)
        if (!piece.empty() && EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) != 1)
            throw Failure("boxsim: SHA-256 failed");
    Bytes digest(32);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1 || length != 32)
        throw Failure("boxsim: SHA-256 failed");
    return digest;
}

std::optional<Bytes> aes128Ecb(ByteView data, ByteView key, bool encrypt) {
    if (key.size() != 16 || data.size() % 16 != 0 || data.size() > INT_MAX) return std::nullopt;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(data.size() + 16);
    int written = 0;
    int tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &tail) != 1)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(written + tail));
    return out;
}

Bytes sign(ByteView message, EVP_PKEY* key) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) != 1)
        throw Failure("boxsim: signing failed");
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1)
        throw Failure("boxsim: signing failed");
    signature.resize(length);
    return signature;
}

bool verify(ByteView message, ByteView signature, X509* certificate) {
    EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate) : nullptr;
    if (!key) return false;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

PKeyPtr generateKey() {
    PKeyPtr key(EVP_RSA_gen(2048));
    if (!key) throw Failure("boxsim: RSA key generation failed");
    return key;
}

X509Ptr selfSignedCertificate(EVP_PKEY* key, const std::string& commonName) {
    X509Ptr certificate(X509_new());
    if (!certificate) throw Failure("boxsim: certificate generation failed");
    // A positive random 63-bit serial number.
    Bytes serialBytes = randomBytes(8);
    serialBytes[0] &= 0x7f;
    std::uint64_t serial = 0;
    for (std::uint8_t byte : serialBytes) serial = serial << 8 | byte;
    if (serial == 0) serial = 1;
    ASN1_INTEGER* serialNumber = X509_get_serialNumber(certificate.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    const bool ok = X509_set_version(certificate.get(), 2) == 1 &&
                    ASN1_INTEGER_set_uint64(serialNumber, serial) == 1 &&
                    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 20L * 365 * 24 * 3600) != nullptr &&
                    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                               0) == 1 &&
                    X509_set_issuer_name(certificate.get(), name) == 1 &&
                    X509_set_pubkey(certificate.get(), key) == 1 &&
                    X509_sign(certificate.get(), key, EVP_sha256()) > 0;
    if (!ok) throw Failure("boxsim: certificate generation failed");
    return certificate;
}

std::optional<X509Ptr> certificateFromPEM(std::string_view pem) {
    if (pem.empty() || pem.size() > INT_MAX) return std::nullopt;
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::nullopt;
    X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) return std::nullopt;
    return certificate;
}

std::optional<X509Ptr> certificateFromDER(ByteView der) {
    if (der.empty() || der.size() > LONG_MAX) return std::nullopt;
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate) return std::nullopt;
    return certificate;
}

Bytes derOf(X509* certificate) {
    unsigned char* buffer = nullptr;
    const int length = i2d_X509(certificate, &buffer);
    if (length <= 0) return {};
    Bytes der(buffer, buffer + length);
    OPENSSL_free(buffer);
    return der;
}

std::string pemOf(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) throw Failure("boxsim: PEM encoding failed");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

Bytes signatureBits(X509* certificate) {
    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(&signature, &algorithm, certificate);
    if (!signature) return {};
    const unsigned char* data = ASN1_STRING_get0_data(signature);
    return Bytes(data, data + ASN1_STRING_length(signature));
}

std::string hex(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

std::optional<Bytes> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return out;
}

} // namespace corvane::boxsim::BoxCrypto
