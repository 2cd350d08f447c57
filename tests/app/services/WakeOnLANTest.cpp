#include "app/services/WakeOnLAN.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <cstdlib>
#include <poll.h>
#include <unistd.h>

namespace corvane {
namespace {

Bytes expectedPacket(std::initializer_list<std::uint8_t> mac) {
    Bytes packet(6, 0xFF);
    for (int i = 0; i < 16; ++i) packet.insert(packet.end(), mac.begin(), mac.end());
    return packet;
}

TEST(WakeOnLANPacket, ReadsSixHexBytesWithEitherSeparator) {
    const Bytes expected = expectedPacket({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF});
    for (const char* good : {"AA:BB:CC:DD:EE:FF", "aa-bb-cc-dd-ee-ff", "aa:bb-cc:dd-ee:ff", "AA::BB:CC:DD:EE:FF",
                             ":AA:BB:CC:DD:EE:FF-"})
        EXPECT_EQ(WakeOnLAN::packet(good), expected) << good;
    EXPECT_EQ(WakeOnLAN::packet("0:1:2:3:4:00000005"), expectedPacket({0, 1, 2, 3, 4, 5}));
    for (const char* bad : {"AA:BB:CC:DD:EE", "AA:BB:CC:DD:EE:FF:00", "AA:BB:CC:DD:EE:GG", "AA:BB:CC:DD:EE:100",
                            "AABBCCDDEEFF", "", "AA:BB:CC:DD:EE: F", "AA:BB:CC:DD:EE:+F", "AA.BB.CC.DD.EE.FF"})
        EXPECT_EQ(WakeOnLAN::packet(bad), std::nullopt) << bad;

    // Nothing valid: no socket is opened.
    const int before = ::dup(0);
    ::close(before);
    EXPECT_EQ(WakeOnLAN::send({"not a mac", "AA:BB"}), 0);
    const int after = ::dup(0);
    ::close(after);
    EXPECT_EQ(before, after);
}

// A socket bound to `port` on `address`, or -1.
int udpSocket(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{AF_INET, htons(port), {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) return fd;
    ::close(fd);
    return -1;
}

std::vector<Bytes> receive(int fd, std::size_t count) {
    std::vector<Bytes> packets;
    for (pollfd p{fd, POLLIN, 0}; packets.size() < count && ::poll(&p, 1, 5000) > 0;) {
        Bytes buffer(2048);
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0) break;
        packets.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    ::close(fd);
    return packets;
}

TEST(WakeOnLANSend, EachValidAddressGoesTwiceToPortsNineAndSeven) {
    const std::string box = test::uniqueLoopbackAddress();
    const int nine = udpSocket(box, 9);
    const int seven = udpSocket(box, 7);
    if (nine < 0 || seven < 0) GTEST_SKIP() << "ports 9 and 7 need root";
    ::setenv("CORVANE_BOX_ADDRESS", box.c_str(), 1);
    EXPECT_EQ(WakeOnLAN::send({"AA:BB:CC:DD:EE:FF", "bogus", "0a-1b-2c-3d-4e-5f"}), 4);  // two to each port
    ::unsetenv("CORVANE_BOX_ADDRESS");
    const auto onNine = receive(nine, 2);
    EXPECT_EQ(onNine, (std::vector<Bytes>{expectedPacket({0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}),
                                          expectedPacket({0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F})}));
    EXPECT_EQ(receive(seven, 2), onNine);
}

} // namespace
} // namespace corvane
