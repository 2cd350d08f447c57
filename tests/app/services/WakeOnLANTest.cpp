#include "app/services/WakeOnLAN.hpp"

#include <gtest/gtest.h>

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

} // namespace
} // namespace corvane
