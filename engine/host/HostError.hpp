#pragma once

#include "platform/core/Error.hpp"

#include <cstdint>
#include <string>

namespace corvane::stream {

// The host link's error. what() is the text the log and the user see.
class HostError final : public corvane::Error {
public:
    enum class Kind { status, http, badReply, untrustedServer };

    // The reply's "status_code" was not 200.
    static HostError status(std::int64_t code, std::string message);
    // A body that is not XML came with this HTTP status (0 when the reply was not HTTP).
    static HostError http(std::int64_t status);
    // A body that is not XML came with status 200, or a reply lacked what the request needs.
    static HostError badReply(std::string path);
    // No saved certificate of the box to pin.
    static HostError untrustedServer();

    Kind kind;
    std::int64_t code = 0;        // status
    std::string message;          // status
    std::int64_t httpStatus = 0;  // http
    std::string path;             // badReply

    bool operator==(const HostError& other) const;

private:
    HostError(Kind kind, std::string description);
};

} // namespace corvane::stream
