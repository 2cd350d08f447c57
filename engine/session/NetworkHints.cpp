#include "engine/session/NetworkHints.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::stream::NetworkHints {

std::optional<std::string> localAddress(std::string_view host) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> result;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(9);
    const std::string text(host);
    // Connecting a datagram socket only picks the route and the local address; no packet leaves.
    if (::inet_pton(AF_INET, text.c_str(), &target.sin_addr) == 1 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        char buffer[INET_ADDRSTRLEN] = {};
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
            ::inet_ntop(AF_INET, &local.sin_addr, buffer, sizeof buffer))
            result = buffer;
    }
    ::close(fd);
    return result;
}

} // namespace corvane::stream::NetworkHints
