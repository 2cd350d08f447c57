#include "engine/pairing/identity/PairingCrypto.hpp"

namespace corvane::stream::PairingCrypto {
namespace {

// A text payload as an enumeration prints it: in double quotes, with quotes and backslashes escaped.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

Error Error::aes(std::int32_t status) {
    Error error(Kind::aes, "aes(status: " + std::to_string(status) + ")");
    error.status = status;
    return error;
}

Error Error::random(std::int32_t status) {
    Error error(Kind::random, "random(status: " + std::to_string(status) + ")");
    error.status = status;
    return error;
}

Error Error::sign(const std::string& message) {
    Error error(Kind::sign, "sign(message: " + quoted(message) + ")");
    error.message = message;
    return error;
}

Bytes random(std::size_t count) {
    try {
        return platform::Crypto::randomBytes(count);
    } catch (const platform::CryptoError& error) {
        throw Error::random(error.status != 0 ? error.status : -1);
    }
}

Bytes sign(ByteView message, const platform::PrivateKey& key) {
    try {
        return platform::Crypto::signSha256(key, message);
    } catch (const platform::CryptoError& error) {
        throw Error::sign(error.description().empty() ? "unknown" : error.description());
    }
}

bool verify(ByteView message, ByteView signature, ByteView certificateDER) {
    return platform::Crypto::verifySha256(certificateDER, message, signature);
}

Bytes sha256(std::initializer_list<ByteView> pieces) { return platform::Crypto::sha256(pieces); }

Bytes pairingKey(ByteView salt, std::string_view pin) {
    const Bytes pinBytes(pin.begin(), pin.end());
    Bytes digest = sha256(salt, pinBytes);
    digest.resize(16);
    return digest;
}

Bytes aesECB(ByteView data, ByteView key, bool encrypt) {
    try {
        return platform::Crypto::aes128Ecb(data, key, encrypt);
    } catch (const platform::CryptoError& error) {
        throw Error::aes(error.status);
    }
}

} // namespace corvane::stream::PairingCrypto
