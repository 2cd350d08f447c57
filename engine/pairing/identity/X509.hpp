#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <optional>
#include <string>
#include <string_view>

// Two operations on certificates: PEM text to DER, and the signature bytes of a DER certificate. Nothing is
// validated. Pure functions, callable from any thread.
namespace corvane::stream::X509 {

class Error final : public corvane::Error {
public:
    enum class Kind { notACertificate };
    static Error notACertificate() { return Error(Kind::notACertificate, "notACertificate"); }
    bool operator==(const Error& other) const { return kind == other.kind; }
    Kind kind;

private:
    Error(Kind kind, std::string printed) : corvane::Error(std::move(printed)), kind(kind) {}
};

// The Base64 lines of a PEM text decoded, marker lines ("-----...") and blank lines left out, blanks trimmed
// around each line; nothing when the Base64 is not strictly valid.
std::optional<Bytes> derFromPEM(std::string_view pem);
// The certificate's signatureValue without the BIT STRING's unused-bits byte. Throws DER::ParseError for
// malformed DER and X509::Error::notACertificate for anything not shaped like a certificate.
Bytes signatureOfDER(ByteView der);

} // namespace corvane::stream::X509
