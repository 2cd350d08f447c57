#include "app/services/WakeOnLAN.hpp"

#include "app/services/BoxEndpoint.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::WakeOnLAN {
namespace {

std::optional<std::uint8_t> hexByte(std::string_view piece) {
    unsigned value = 0;
    for (const char c : piece) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        value = value * 16 + digit;
        if (value > 0xFF) return std::nullopt;  // checked per digit, so long runs of zeros still fit
    }
    return static_cast<std::uint8_t>(value);
}

// Where the packets go: the loopback box alone when it has been moved there, else every broadcast address.
std::set<std::uint32_t> destinations() {
    if (BoxEndpoint::isOverridden()) {
        in_addr box{};
        ::inet_pton(AF_INET, BoxEndpoint::address().c_str(), &box);
        return {box.s_addr};
    }
    const auto found = broadcastAddresses();
    std::set<std::uint32_t> result(found.begin(), found.end());
    result.insert(INADDR_BROADCAST);  // the same in either byte order
    return result;
}

} // namespace

std::optional<Bytes> packet(std::string_view mac) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= mac.size(); ++i) {
        if (i == mac.size() || mac[i] == ':' || mac[i] == '-') {
            if (i > start) pieces.push_back(mac.substr(start, i - start));
            start = i + 1;
        }
    }
    if (pieces.size() != 6) return std::nullopt;
    std::uint8_t address[6];
    for (std::size_t i = 0; i < 6; ++i) {
        const auto byte = hexByte(pieces[i]);
        if (!byte) return std::nullopt;
        address[i] = *byte;
    }
    Bytes result(6, 0xFF);
    result.reserve(102);
    for (int i = 0; i < 16; ++i) result.insert(result.end(), address, address + 6);
    return result;
}

std::vector<std::uint32_t> broadcastAddresses() {
    std::vector<std::uint32_t> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK)) continue;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (!entry->ifa_broadaddr || entry->ifa_broadaddr->sa_family != AF_INET) continue;
        const auto* own = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&own->sin_addr.s_addr);
        if (bytes[0] == 10 && bytes[1] == 77) continue;  // the cable to the box
        const auto broadcast = reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr.s_addr;
        // An address given without a broadcast address comes back with its own address in that place: not
        // a broadcast address, and sending there only reaches this computer.
        if (broadcast == 0 || broadcast == own->sin_addr.s_addr) continue;
        result.push_back(broadcast);
    }
    ::freeifaddrs(list);
    return result;
}

int send(const std::vector<std::string>& macs) {
    std::vector<Bytes> packets;
    for (const auto& mac : macs)
        if (auto made = packet(mac)) packets.push_back(std::move(*made));
    if (packets.empty()) return 0;

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return 0;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);

    int sent = 0;
    for (const std::uint32_t destination : destinations()) {
        for (const std::uint16_t port : {primaryPort, secondaryPort}) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = destination;
            for (const auto& bytes : packets) {
                const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                                           sizeof to);
                if (n == static_cast<ssize_t>(bytes.size())) ++sent;
            }
        }
    }
    ::close(fd);
    return sent;
}

} // namespace corvane::WakeOnLAN
