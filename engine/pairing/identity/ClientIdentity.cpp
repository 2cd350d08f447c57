#include "engine/pairing/identity/ClientIdentity.hpp"

#include "engine/pairing/identity/DER.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "engine/pairing/identity/PairingCrypto.hpp"

namespace corvane::stream {

ClientIdentity::Error ClientIdentity::Error::keyGeneration(const std::string& message) {
    Error error(Kind::keyGeneration, "could not create a key: " + message);
    error.message = message;
    return error;
}

ClientIdentity::Error ClientIdentity::Error::keychain(const std::string& operation, std::int32_t status) {
    Error error(Kind::keychain, "keychain " + operation + " failed (" + std::to_string(status) + ")");
    error.operation = operation;
    error.status = status;
    return error;
}

ClientIdentity::Error ClientIdentity::Error::missingAfterSave() {
    return Error(Kind::missingAfterSave, "the saved identity could not be read back");
}

std::string ClientIdentity::uniqueID() const {
    const Bytes digest = PairingCrypto::sha256(certificateDER);
    return hex(ByteView(digest).first(8));
}

std::string ClientIdentity::certificatePEM() const {
    const std::string base64 = platform::Crypto::base64Encode(certificateDER);
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    for (std::size_t i = 0; i < base64.size(); i += 64) {
        if (i > 0) pem += '\n';
        pem.append(base64, i, 64);
    }
    return pem + "\n-----END CERTIFICATE-----\n";
}

std::pair<platform::PrivateKey, Bytes> ClientIdentity::generate(const std::string& commonName,
                                                                const std::optional<std::string>& keychainLabel,
                                                                platform::KeyStore* store) {
    platform::PrivateKey key;
    try {
        key = platform::PrivateKey::generateRsa(2048);
    } catch (const platform::CryptoError& error) {
        throw Error::keyGeneration(error.description().empty() ? "unknown" : error.description());
    }
    // The key is kept only when both a label and a store are given; the public half is never stored.
    if (keychainLabel && store) {
        const std::int32_t status = store->addPrivateKey(key, *keychainLabel, bytesOf(*keychainLabel));
        if (status != 0) throw Error::keyGeneration("the key store refused the key (" + std::to_string(status) + ")");
    }
    Bytes publicKey;
    try {
        publicKey = key.publicKeyPkcs1();
    } catch (const platform::CryptoError& error) {
        throw Error::keyGeneration(error.description().empty() ? "unknown" : error.description());
    }
    Bytes certificate = selfSignedCertificate(commonName, publicKey, key, std::chrono::system_clock::now());
    return {std::move(key), std::move(certificate)};
}

Bytes ClientIdentity::selfSignedCertificate(const std::string& commonName, ByteView publicKeyPKCS1,
                                            const platform::PrivateKey& signer,
                                            std::chrono::system_clock::time_point now) {
    const Bytes algorithm = DER::sequence(DER::oid("1.2.840.113549.1.1.11"), DER::null);  // sha256WithRSA
    const Bytes name = DER::sequence(DER::set(DER::sequence(DER::oid("2.5.4.3"), DER::utf8String(commonName))));
    Bytes keyBits{0x00};  // no unused bits
    keyBits.insert(keyBits.end(), publicKeyPKCS1.begin(), publicKeyPKCS1.end());
    const Bytes publicKeyInfo =
        DER::sequence(DER::sequence(DER::oid("1.2.840.113549.1.1.1"), DER::null), DER::tlv(0x03, keyBits));

    // A positive serial: the integer rule then drops any leading zero bytes.
    Bytes serial = PairingCrypto::random(16);
    serial[0] &= 0x7F;

    const Bytes version = DER::tlv(0xA0, DER::integer(std::int64_t{2}));
    const Bytes validity = DER::sequence(DER::time(now - std::chrono::seconds(86400)),
                                         DER::time(now + std::chrono::seconds(630720000)));
    const Bytes tbsCertificate =
        DER::sequence(version, DER::integer(ByteView(serial)), algorithm, name, validity, name, publicKeyInfo);

    Bytes signatureBits{0x00};
    const Bytes signature = PairingCrypto::sign(tbsCertificate, signer);
    signatureBits.insert(signatureBits.end(), signature.begin(), signature.end());
    return DER::sequence(tbsCertificate, algorithm, DER::tlv(0x03, signatureBits));
}

} // namespace corvane::stream
