#include "app/services/WakeOnLAN.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {
namespace {

int udpSocket(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) return fd;
    ::close(fd);
    return -1;
}

std::vector<Bytes> receive(int fd, std::size_t count) {
    std::vector<Bytes> packets;
    pollfd p{fd, POLLIN, 0};
    while (packets.size() < count && ::poll(&p, 1, 5000) > 0) {
        Bytes buffer(2048);
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) break;
        buffer.resize(static_cast<std::size_t>(n));
        packets.push_back(std::move(buffer));
    }
    ::close(fd);
    return packets;
}

TEST(WakeOnLANPeer, EachValidAddressGoesTwiceToPortsNineAndSeven) {
    const std::string box = test::uniqueLoopbackAddress();
    const int nine = udpSocket(box, 9);
    const int seven = udpSocket(box, 7);
    if (nine < 0 || seven < 0) GTEST_SKIP() << "ports 9 and 7 need root";
    ::setenv("CORVANE_BOX_ADDRESS", box.c_str(), 1);
    EXPECT_EQ(WakeOnLAN::send({"AA:BB:CC:DD:EE:FF", "bogus", "0a-1b-2c-3d-4e-5f"}), 4);  // two to each port
    ::unsetenv("CORVANE_BOX_ADDRESS");
    const auto onNine = receive(nine, 2);
    EXPECT_EQ(onNine, (std::vector<Bytes>{*WakeOnLAN::packet("AA:BB:CC:DD:EE:FF"), *WakeOnLAN::packet("0a-1b-2c-3d-4e-5f")}));
    EXPECT_EQ(receive(seven, 2), onNine);
}

} // namespace
} // namespace corvane
