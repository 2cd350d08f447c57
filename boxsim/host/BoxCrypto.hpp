#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

namespace corvane::boxsim {

// The simulated box's own cryptography, written straight on OpenSSL so that it shares nothing with the
// engine it is used to test. Every function is pure (apart from the random source) and thread-safe.
namespace BoxCrypto {

struct PKeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

// A failure of the box's own crypto (key or certificate generation, signing); never caused by peer data.
class Failure : public corvane::Error {
public:
    using corvane::Error::Error;
};

Bytes randomBytes(std::size_t count);
Bytes sha256(std::initializer_list<ByteView> pieces);
// AES-128 in ECB mode without padding; nothing when the key is not 16 bytes or the data not whole blocks.
std::optional<Bytes> aes128Ecb(ByteView data, ByteView key, bool encrypt);

// RSA PKCS#1 v1.5 over SHA-256.
Bytes sign(ByteView message, EVP_PKEY* key);
bool verify(ByteView message, ByteView signature, X509* certificate);

// A new RSA-2048 key and a self-signed certificate for it, valid for twenty years from now.
PKeyPtr generateKey();
X509Ptr selfSignedCertificate(EVP_PKEY* key, const std::string& commonName);

std::optional<X509Ptr> certificateFromPEM(std::string_view pem);
std::optional<X509Ptr> certificateFromDER(ByteView der);
Bytes derOf(X509* certificate);
std::string pemOf(X509* certificate);
// The content of the certificate's outer signatureValue BIT STRING, without its unused-bits byte.
Bytes signatureBits(X509* certificate);

// Upper-case hexadecimal, two digits a byte; decoding accepts either case and refuses odd lengths and
// anything that is not a digit.
std::string hex(ByteView bytes);
std::optional<Bytes> fromHex(std::string_view text);

} // namespace BoxCrypto
} // namespace corvane::boxsim
