#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/crypto/Crypto.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
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
    HttpError(Kind kind, std::string description, bool certificateRejected = false)
        : Error(std::move(description)), kind(kind), certificateRejected(certificateRejected) {}
    Kind kind;
    // Cancelled because the server's certificate was refused (acceptServerCertificate said no), not stopped:
    // a caller that tells the user why can name it.
    bool certificateRejected;
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

    // Beyond a plain GET. The method is sent as given ("GET", "POST", "PUT"); a body comes from memory or is
    // streamed from a file whose size is announced up front (not both).
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers;  // extra header lines, sent in this order
    std::optional<Bytes> body;
    std::filesystem::path bodyFile;
    std::function<void(std::uint64_t sentSoFar)> onSent;  // upload progress, on the calling thread
    // The path is already percent-encoded and is sent as it is (checked to hold only URL path characters).
    bool pathEncoded = false;
    // Nothing received or sent for this long ends the request with timedOut; 0 or less: no such limit.
    double idleTimeoutSeconds = 0;
    // A whole http or https URL used instead of host, port, path and query. Its https is checked against the
    // system's trust store (or the file CURL_CA_BUNDLE, else SSL_CERT_FILE, names) and the host name (the pin
    // judge above still takes over when set).
    std::string url;
    bool followRedirects = false;  // at most 10, http and https only
};

struct HttpResponse {
    long status = 0;
    Bytes body;  // empty when a receiver took the body
};

// Takes a reply's body as it arrives instead of collecting it. Exceptions thrown by either callback end the
// transfer and come out of perform() unchanged.
struct HttpReceiver {
    // Once, before the first piece of the final reply's body (or at the end when it has none): the status and
    // the length the reply announces.
    std::function<void(long status, std::optional<std::uint64_t> announcedLength)> onHead;
    std::function<void(ByteView piece)> onBody;
};

// One request over libcurl: no proxy, no TLS session reuse, no connection reuse. A request stopped through the
// token ends with HttpError::cancelled; a rejected server certificate ends the same way, marked
// certificateRejected. Its own time-out is timedOut, a refused connection cannotConnect, a body over
// maxBodyBytes tooLarge, a port outside 1-65535 or a path without a leading slash badUrl. A reply in a
// transfer or content coding other than chunked (none is ever asked for) fails with other before any of its
// body is taken. Any HTTP status comes back as a response.
namespace Http {
// What carries a request: perform() below, or a test's stand-in.
using Transport = std::function<HttpResponse(const HttpRequest&, std::stop_token, const HttpReceiver*)>;
// `transport`, or perform() when it is empty.
HttpResponse perform(const Transport& transport, const HttpRequest& request, std::stop_token stop,
                     const HttpReceiver* receiver = nullptr);
HttpResponse get(const HttpRequest& request, std::stop_token stop = {});
// The same for any method, body and receiver. With a receiver, maxBodyBytes is not applied: the receiver
// keeps its own count.
HttpResponse perform(const HttpRequest& request, std::stop_token stop = {}, const HttpReceiver* receiver = nullptr);
// Percent-encodes everything but the unreserved characters ("/" too), as query values and single path
// segments need; "" stays "". Throws badUrl.
std::string escape(std::string_view text);
// The URL a request goes to, query percent-encoded (everything but unreserved characters). Throws badUrl.
std::string url(const HttpRequest& request);
} // namespace Http

} // namespace corvane::platform
