#include "platform/net/TcpConnection.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

// Short enough that a stop or cancel is seen at once by a person, long enough not to spin.
constexpr int kSliceMs = 10;

std::string errnoText(int code) { return std::strerror(code); }

TcpConnection::Error failure(int code) {
    return TcpConnection::Error(TcpConnection::Error::Kind::failed, code, errnoText(code));
}

TcpConnection::Error cancelledError() {
    return TcpConnection::Error(TcpConnection::Error::Kind::cancelled, ECANCELED, errnoText(ECANCELED));
}

TcpConnection::Error timedOutError() {
    return TcpConnection::Error(TcpConnection::Error::Kind::timedOut, ETIMEDOUT, errnoText(ETIMEDOUT));
}

} // namespace

TcpConnection::Error::Error(Kind kind, int code, std::string description)
    : corvane::Error(std::move(description)), kind(kind), code(code) {}

TcpConnection::~TcpConnection() { close(); }

void TcpConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
}

void TcpConnection::cancel() { cancelled_.store(true); }

bool TcpConnection::waitFor(short events, std::optional<double> timeoutSeconds, std::stop_token& stop) {
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> deadline;
    if (timeoutSeconds && std::isfinite(*timeoutSeconds)) {
        const double seconds = std::clamp(*timeoutSeconds, 0.0, 1.0e7);
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    for (;;) {
        if (stop.stop_requested() || cancelled_.load()) throw cancelledError();
        int slice = kSliceMs;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return false;
            slice = static_cast<int>(std::min<long long>(slice, left));
        }
        pollfd p{fd_, events, 0};
        const int n = ::poll(&p, 1, slice);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        // Errors and hang-ups count as ready: the following call reports them.
        if (n > 0) return true;
    }
}

void TcpConnection::connect(const std::string& host, std::uint16_t port, std::optional<double> timeoutSeconds,
                            std::stop_token stop) {
    if (cancelled_.load() || stop.stop_requested()) throw cancelledError();
    close();

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        const int code = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        throw Error(Error::Kind::failed, code, rc == EAI_SYSTEM ? errnoText(code) : ::gai_strerror(rc));
    }

    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    auto remaining = [&]() -> std::optional<double> {
        if (!timeoutSeconds) return std::nullopt;
        return *timeoutSeconds - std::chrono::duration<double>(Clock::now() - started).count();
    };

    int lastError = ECONNREFUSED;
    try {
        for (addrinfo* a = found; a; a = a->ai_next) {
            const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
            if (fd < 0) {
                lastError = errno;
                continue;
            }
            fd_ = fd;
            if (::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) {
                connected_ = true;
                break;
            }
            if (errno != EINPROGRESS) {
                lastError = errno;
                close();
                continue;
            }
            if (!waitFor(POLLOUT, remaining(), stop)) {
                close();
                throw timedOutError();
            }
            int soError = 0;
            socklen_t length = sizeof soError;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
            if (soError == 0) {
                connected_ = true;
                break;
            }
            lastError = soError;
            close();
        }
    } catch (...) {
        ::freeaddrinfo(found);
        close();
        throw;
    }
    ::freeaddrinfo(found);
    if (!connected_) throw failure(lastError);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void TcpConnection::send(ByteView data, std::stop_token stop) {
    if (!isConnected()) throw failure(ENOTCONN);
    std::size_t sent = 0;
    while (sent < data.size()) {
        waitFor(POLLOUT, std::nullopt, stop);
        const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw failure(errno);
        }
        sent += static_cast<std::size_t>(n);
    }
}

Bytes TcpConnection::receive(std::size_t maxBytes, std::stop_token stop) {
    if (!isConnected()) throw failure(ENOTCONN);
    Bytes buffer(std::max<std::size_t>(maxBytes, 1));
    for (;;) {
        waitFor(POLLIN, std::nullopt, stop);
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw failure(errno);
        }
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
}

} // namespace corvane::platform
