#include "engine/host/HostConnection.hpp"

#include "engine/Deadline.hpp"
#include "engine/EngineLog.hpp"
#include "engine/host/HostError.hpp"
#include "platform/http/Http.hpp"

#include <algorithm>
#include <utility>

namespace corvane::stream {

HostConnection::HostConnection(std::string host, int httpPort, int httpsPort,
                               std::optional<ClientIdentity> identity, std::optional<Bytes> serverCertificateDER,
                               platform::Http::Transport transport)
    : host(std::move(host)),
      httpPort(httpPort),
      httpsPort(httpsPort),
      identity(std::move(identity)),
      transport(std::move(transport)),
      serverCertificateDER_(std::move(serverCertificateDER)) {}

std::optional<Bytes> HostConnection::serverCertificateDER() const {
    std::lock_guard guard(lock_);
    return serverCertificateDER_;
}

void HostConnection::setServerCertificateDER(std::optional<Bytes> certificate) {
    std::lock_guard guard(lock_);
    serverCertificateDER_ = std::move(certificate);
}

bool HostConnection::acceptsServerCertificate(ByteView leafDER) const {
    // Copied so the lock is not held while comparing or logging.
    const auto pinned = serverCertificateDER();
    const bool accepted = pinned && std::ranges::equal(*pinned, leafDER);
    if (!accepted) EngineLog::write("https: rejected the box's certificate (not the one saved at pairing)");
    return accepted;
}

HostXML HostConnection::get(const std::string& path, const QueryItems& query, bool secure, double timeout,
                            std::stop_token stop) {
    platform::HttpRequest request;
    request.secure = secure;
    request.host = host;
    request.port = secure ? httpsPort : httpPort;
    request.path = path;
    request.query = query;
    request.timeoutSeconds = timeout;
    request.maxBodyBytes = kMaxReplyBytes;
    if (secure) {
        if (identity && identity->secIdentity) {
            request.clientCertificateDER = identity->secIdentity->certificateDER;
            request.clientKey = identity->secIdentity->privateKey;
        }
        request.acceptServerCertificate = [this](ByteView leafDER) { return acceptsServerCertificate(leafDER); };
    }

    const std::string work = std::string(secure ? "HTTPS" : "HTTP") + " " + path;
    const platform::HttpResponse response = withDeadline(
        timeout + 2, work, [&](std::stop_token bodyStop) { return platform::Http::perform(transport, request, bodyStop); }, stop);

    if (auto root = HostXML::parse(response.body)) return std::move(*root);
    if (response.status != 200) throw HostError::http(response.status);
    throw HostError::badReply(path);
}

} // namespace corvane::stream
