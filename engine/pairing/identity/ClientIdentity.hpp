#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/crypto/Crypto.hpp"
#include "platform/keystore/KeyStore.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace corvane::stream {

// This computer's identity towards the streaming host: an RSA-2048 key and a self-signed certificate for
// it. Copies share the key.
struct ClientIdentity {
    class Error;

    platform::PrivateKey privateKey;
    Bytes certificateDER;
    // The stored pairing of certificate and key; always present on an identity the store gives out.
    std::optional<platform::KeyStore::Identity> secIdentity;

    // First 8 bytes of SHA-256 of the certificate, as 16 upper-case hex digits.
    std::string uniqueID() const;
    // "-----BEGIN CERTIFICATE-----\n", Base64 in 64-character lines, "\n-----END CERTIFICATE-----\n".
    std::string certificatePEM() const;

    // A new RSA-2048 key and self-signed certificate. With a keychain label and a store, the key is stored there
    // under the label, tagged with the label's UTF-8 bytes. Throws Error::keyGeneration, or PairingCrypto::Error
    // from the certificate builder.
    static std::pair<platform::PrivateKey, Bytes> generate(const std::string& commonName,
                                                            const std::optional<std::string>& keychainLabel,
                                                            platform::KeyStore* store);
    // Throws PairingCrypto::Error from the random source or the signer.
    static Bytes selfSignedCertificate(const std::string& commonName, ByteView publicKeyPKCS1,
                                       const platform::PrivateKey& signer,
                                       std::chrono::system_clock::time_point now);
};

class ClientIdentity::Error final : public corvane::Error {
public:
    enum class Kind { keyGeneration, keychain, missingAfterSave };
    static Error keyGeneration(const std::string& message);
    static Error keychain(const std::string& operation, std::int32_t status);
    static Error missingAfterSave();

    Kind kind;
    std::string message;    // keyGeneration
    std::string operation;  // keychain
    std::int32_t status = 0;

private:
    Error(Kind kind, std::string description) : corvane::Error(std::move(description)), kind(kind) {}
};

// Finds this computer's identity under a label in the key store, or makes and saves a new one. The label is the
// certificate's common name, the items' label and the key's application tag. Keeps no state; creations under
// one label are not serialised (two at once would each remove the other's leftovers).
class ClientIdentityStore final {
public:
    ClientIdentityStore(std::string label, platform::KeyStore keyStore)
        : label(std::move(label)), keyStore_(std::move(keyStore)) {}

    ClientIdentity loadOrCreate() const;
    std::optional<ClientIdentity> load() const;
    void remove() const;  // the Keychain's delete: never fails

    std::string label;

private:
    platform::KeyStore keyStore_;
};

} // namespace corvane::stream
