#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/crypto/Crypto.hpp"

#include <stdexcept>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace corvane::test {

// A self-signed certificate for the key, made by OpenSSL itself so the layer under test is not its own
// witness.
inline Bytes makeTestCertificate(const platform::PrivateKey& key, const std::string& commonName) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key.native());
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key.native(), EVP_sha256()) <= 0) {
        X509_free(cert);
        throw std::runtime_error("X509_sign failed");
    }
    const int size = i2d_X509(cert, nullptr);
    Bytes der(static_cast<std::size_t>(size));
    unsigned char* cursor = der.data();
    i2d_X509(cert, &cursor);
    X509_free(cert);
    return der;
}

// PEM text as OpenSSL itself writes it: of a certificate's DER, or of a private key (PKCS #8).
inline std::string opensslPem(const Bytes& certificateDER, const platform::PrivateKey* key = nullptr) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (key) {
        PEM_write_bio_PrivateKey(bio, key->native(), nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        const unsigned char* cursor = certificateDER.data();
        X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(certificateDER.size()));
        if (cert) PEM_write_bio_X509(bio, cert);
        X509_free(cert);
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

} // namespace corvane::test
