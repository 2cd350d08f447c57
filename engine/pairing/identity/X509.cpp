#include "engine/pairing/identity/X509.hpp"

#include "engine/Text.hpp"
#include "engine/pairing/identity/DER.hpp"
#include "platform/crypto/Crypto.hpp"

namespace corvane::stream::X509 {

std::optional<Bytes> derFromPEM(std::string_view pem) {
    std::string base64;
    for (const std::string_view line : text::splitLines(pem)) {
        const std::string_view trimmed = text::trimBlanks(line);
        if (trimmed.empty() || trimmed.starts_with("-----")) continue;
        base64.append(trimmed);
    }
    return platform::Crypto::base64Decode(base64);
}

Bytes signatureOfDER(ByteView der) {
    // Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
    const DER::Element certificate = DER::readElement(der);
    const std::vector<DER::Node> parts = DER::children(certificate.body);
    if (certificate.tag != 0x30 || parts.size() != 3 || parts[2].tag != 0x03 || parts[2].body.empty())
        throw Error::notACertificate();
    // The first content byte of a BIT STRING counts its unused bits; a signature has none.
    return Bytes(parts[2].body.begin() + 1, parts[2].body.end());
}

} // namespace corvane::stream::X509
