#include "app/services/WakeOnLAN.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
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

TEST(WakeOnLANPeer, TsharkReadsTheSentPacketsAsWakeOnLan) {
    if (test::runCommand("command -v tshark text2pcap").status != 0) GTEST_SKIP() << "tshark and text2pcap needed";
    const std::string box = test::uniqueLoopbackAddress();
    const int nine = udpSocket(box, 9);
    const int seven = udpSocket(box, 7);
    if (nine < 0 || seven < 0) GTEST_SKIP() << "ports 9 and 7 need root";
    ::setenv("CORVANE_BOX_ADDRESS", box.c_str(), 1);
    EXPECT_EQ(WakeOnLAN::send({"AA:BB:CC:DD:EE:FF", "bogus", "0a-1b-2c-3d-4e-5f"}), 4);  // two to each port
    ::unsetenv("CORVANE_BOX_ADDRESS");
    const auto onNine = receive(nine, 2);
    const auto onSeven = receive(seven, 2);
    ASSERT_EQ(onNine.size(), 2u);
    EXPECT_EQ(onNine[0].size(), 102u);
    // Port 7 is the echo service to tshark; its packets must be the very same bytes.
    EXPECT_EQ(onSeven, onNine);
    test::TempDir dir;
    const auto dump = dir.path() / "wol.txt", capture = dir.path() / "wol.pcap";
    for (std::size_t i = 0; i < onNine.size(); ++i) {
        // text2pcap reads od's dump; each restart at offset 0 is a packet of its own.
        const auto raw = dir.path() / std::to_string(i);
        test::writeWhole(raw, onNine[i]);
        ASSERT_EQ(test::runCommand("od -Ax -tx1 -v '" + raw.string() + "' >> '" + dump.string() + "'").status, 0);
    }
    ASSERT_EQ(test::runCommand("text2pcap -q -u 40000,9 -4 127.0.0.1," + box + " '" + dump.string() + "' '" +
                               capture.string() + "' 2>&1").status,
              0);
    const auto dissected = test::runCommand("tshark -r '" + capture.string() + "' -V -Y wol 2>/dev/null");
    ASSERT_EQ(dissected.status, 0);
    const std::string& text = dissected.output;
    EXPECT_NE(text.find("Wake On LAN, MAC: aa:bb:cc:dd:ee:ff"), std::string::npos) << text;
    EXPECT_NE(text.find("Wake On LAN, MAC: 0a:1b:2c:3d:4e:5f"), std::string::npos) << text;
    EXPECT_NE(text.find("Sync stream: ffffffffffff"), std::string::npos);
    EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
    std::size_t copies = 0;
    for (std::size_t at = text.find("        MAC: aa:bb:cc:dd:ee:ff"); at != std::string::npos;
         at = text.find("        MAC: aa:bb:cc:dd:ee:ff", at + 1))
        ++copies;
    EXPECT_EQ(copies, 16u);
}

} // namespace
} // namespace corvane
