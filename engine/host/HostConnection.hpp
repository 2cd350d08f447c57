#pragma once

#include "engine/host/HostTransport.hpp"
#include "engine/pairing/identity/ClientIdentity.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/http/Http.hpp"

#include <mutex>
#include <optional>
#include <string>

namespace corvane::stream {

// The engine's HTTP and HTTPS client of the streaming host. Over HTTPS it trusts exactly one server
// certificate, the pinned one, compared byte for byte with the server's leaf inside the handshake, and
// presents the client identity's certificate when asked. Each request uses a fresh connection and no
// proxy. One caller at a time sends requests; the pin may be replaced from any thread.
class HostConnection final : public HostTransport {
public:
    // Replies larger than this are refused.
    static constexpr std::size_t kMaxReplyBytes = 1 << 20;

    // `transport` carries the requests; empty: libcurl.
    HostConnection(std::string host, int httpPort, int httpsPort, std::optional<ClientIdentity> identity,
                   std::optional<Bytes> serverCertificateDER, platform::Http::Transport transport = {});

    // Runs under withDeadline(timeout + 2 s, "HTTPS /path" or "HTTP /path"). Returns the reply's root when
    // the body is XML whatever the HTTP status; otherwise throws HostError::http (status not 200) or
    // HostError::badReply (200). Transport failures come as platform::HttpError, a rejected certificate
    // as HttpError::cancelled after the log line, the limit as DeadlineExceeded.
    HostXML get(const std::string& path, const QueryItems& query, bool secure, double timeout,
                std::stop_token stop = {}) override;

    std::optional<Bytes> serverCertificateDER() const;
    void setServerCertificateDER(std::optional<Bytes> certificate);

    const std::string host;
    const int httpPort;
    const int httpsPort;
    const std::optional<ClientIdentity> identity;
    const platform::Http::Transport transport;

private:
    bool acceptsServerCertificate(ByteView leafDER) const;

    mutable std::mutex lock_;
    std::optional<Bytes> serverCertificateDER_;
};

} // namespace corvane::stream
