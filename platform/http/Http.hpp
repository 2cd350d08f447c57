#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/crypto/Crypto.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace corvane::platform {

class HttpError final : public Error {
public:
    enum class Kind { cancelled, timedOut, cannotConnect, tooLarge, badUrl, other };
    HttpError(Kind kind, std::string description) : Error(std::move(description)), kind(kind) {}
    Kind kind;
};

struct HttpRequest {
    bool secure = false;                                     // https when true
    std::string host;                                        // IPv4 address or host name
    int port = 80;                                           // 1-65535, always written into the URL
    std::string path = "/";                                  // starts with a slash
    std::vector<std::pair<std::string, std::string>> query;  // sent in this order, percent-encoded
    double timeoutSeconds = 10;                              // the whole exchange; 0 or less: no limit
    std::size_t maxBodyBytes = 1 << 20;                      // a larger (or larger announced) body: tooLarge
    // TLS client certificate, presented when the server asks for one.
    std::optional<Bytes> clientCertificateDER;
    PrivateKey clientKey;
    // Called inside the TLS handshake with the DER of the server's own (leaf) certificate; false ends the
    // handshake before anything is sent. HTTPS without it trusts no server. No other check is made.
    std::function<bool(ByteView leafDER)> acceptServerCertificate;
};

struct HttpResponse {
    long status = 0;
    Bytes body;
};

// One GET over libcurl: no proxy, no TLS session reuse, no connection reuse. A request stopped through the
// token ends with HttpError::cancelled; a rejected server certificate ends the same way. Its own time-out
// is timedOut, a refused connection cannotConnect, a body over maxBodyBytes tooLarge, a port outside
// 1-65535 or a path without a leading slash badUrl. Any HTTP status comes back as a response.
namespace Http {
HttpResponse get(const HttpRequest& request, std::stop_token stop = {});
// The URL a request goes to, query percent-encoded (everything but unreserved characters). Throws badUrl.
std::string url(const HttpRequest& request);
} // namespace Http

} // namespace corvane::platform
