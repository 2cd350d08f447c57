#pragma once

// An HTTP server that writes whatever bytes a test gives it, for replies a real server library would never
// send: unrequested codings, bodies cut short, bodies without end, a TLS handshake that fails. One
// connection at a time, on its own thread, on a loopback address.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace corvane::test {

class RawHttpServer {
public:
    // Called with the connection and the request's head (its body, by Content-Length, already read).
    using Answer = std::function<void(int fd, const std::string& head)>;
    // With `readsHead` false, `answer` has the connection as soon as it is taken, with an empty head: for a
    // client whose first words are no HTTP head (a TLS client's hello), which `answer` reads itself.
    RawHttpServer(const std::string& address, int port, Answer answer, bool readsHead = true)
        : answer_(std::move(answer)), readsHead_(readsHead) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(listener_, 8) != 0)
            throw std::runtime_error("cannot listen on " + address);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawHttpServer() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;
    // Writes all of `bytes`; false once the peer has gone.
    static bool sendAll(int fd, std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    void serve() {
        for (char buffer[4096]; !stopping_;) {
            pollfd ready{listener_, POLLIN, 0};
            const int fd = ::poll(&ready, 1, 50) > 0 ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (fd < 0) continue;
            if (!readsHead_) {
                answer_(fd, {});
                ::close(fd);
                continue;
            }
            std::string head;
            ssize_t n = 1;
            while (head.find("\r\n\r\n") == std::string::npos && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
                head.append(buffer, static_cast<std::size_t>(n));
            if (const auto end = head.find("\r\n\r\n"); end != std::string::npos) {
                const auto length = head.find("Content-Length: ");
                const std::size_t wanted = length == std::string::npos ? 0 : std::stoul(head.substr(length + 16));
                for (std::size_t body = head.size() - end - 4; body < wanted && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
                    body += static_cast<std::size_t>(n);
                answer_(fd, head.substr(0, end + 4));
            }
            ::close(fd);
        }
    }
    Answer answer_;
    const bool readsHead_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace corvane::test
