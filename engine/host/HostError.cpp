#include "engine/host/HostError.hpp"

#include <utility>

namespace corvane::stream {

HostError::HostError(Kind kind, std::string description) : corvane::Error(std::move(description)), kind(kind) {}

HostError HostError::status(std::int64_t code, std::string message) {
    std::string description = "box replied " + std::to_string(code);
    if (!message.empty()) description += ": " + message;
    HostError error(Kind::status, std::move(description));
    error.code = code;
    error.message = std::move(message);
    return error;
}

HostError HostError::http(std::int64_t status) {
    HostError error(Kind::http, "HTTP " + std::to_string(status));
    error.httpStatus = status;
    return error;
}

HostError HostError::badReply(std::string path) {
    HostError error(Kind::badReply, "unexpected reply to " + path);
    error.path = std::move(path);
    return error;
}

HostError HostError::untrustedServer() {
    return HostError(Kind::untrustedServer, "the box's certificate is not the one saved at pairing");
}

bool HostError::operator==(const HostError& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
    case Kind::status: return code == other.code && message == other.message;
    case Kind::http: return httpStatus == other.httpStatus;
    case Kind::badReply: return path == other.path;
    case Kind::untrustedServer: return true;
    }
    return false;
}

} // namespace corvane::stream
