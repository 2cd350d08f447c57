#include "app/services/NetworkLink.hpp"
#include "app/services/WakeOnLAN.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sched.h>
#include <thread>

namespace corvane {
namespace {

// Runs on a thread in a network namespace of its own, so the interfaces it makes are seen by nobody else;
// false when that namespace or its interfaces cannot be made.
bool inOwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const auto ip = [](const std::string& command) { return test::runCommand("ip " + command + " >/dev/null").status; };
    for (const char* command : {"link set lo up", "link add thunderbolt0 type bridge",
                                "address add 169.254.10.20/16 dev thunderbolt0",
                                "address add 10.77.0.5/24 brd + dev thunderbolt0", "link set thunderbolt0 up",
                                "link add lan0 type bridge", "address add 192.168.77.10/24 brd + dev lan0",
                                "link set lan0 up", "link add down0 type bridge",
                                "address add 192.168.88.10/24 brd + dev down0", "link add thunderbolt1 type bridge",
                                "address add 10.77.1.9/24 brd + dev thunderbolt1", "link set thunderbolt1 up"})
        if (ip(command) != 0) return false;
    const auto addresses = NetworkLink::ipv4Addresses();
    EXPECT_EQ(addresses, (std::vector<NetworkLink::InterfaceAddress>{{"lo", "127.0.0.1"},
                                                                      {"thunderbolt0", "169.254.10.20"},
                                                                      {"thunderbolt0", "10.77.0.5"},
                                                                      {"lan0", "192.168.77.10"},
                                                                      {"down0", "192.168.88.10"},
                                                                      {"thunderbolt1", "10.77.1.9"}}));
    EXPECT_EQ(NetworkLink::linkAddress(), "10.77.0.5");
    EXPECT_TRUE(NetworkLink::bridgeHasSelfAssignedAddress());
    EXPECT_EQ(NetworkLink::manualAddressCommand(addresses, {}), "'/sbin/ip' address add 10.77.0.2/24 dev 'thunderbolt0'");
    // Loopback, interfaces that are down and the cable's network are skipped.
    const auto broadcasts = [] {
        std::vector<std::string> texts;
        for (const auto found : WakeOnLAN::broadcastAddresses()) {
            char text[INET_ADDRSTRLEN];
            const in_addr address{found};
            texts.emplace_back(::inet_ntop(AF_INET, &address, text, sizeof text));
        }
        return texts;
    };
    EXPECT_EQ(broadcasts(), std::vector<std::string>{"192.168.77.255"});
    EXPECT_EQ(ip("link set lan0 down"), 0);
    EXPECT_TRUE(broadcasts().empty());
    // Without the cable there is no link address.
    EXPECT_EQ(ip("address flush dev thunderbolt0"), 0);
    EXPECT_EQ(NetworkLink::linkAddress(), std::nullopt);
    EXPECT_FALSE(NetworkLink::bridgeHasSelfAssignedAddress());
    return true;
}

TEST(NetworkLinkNamespace, ReadsEveryAddressFindsTheLinkAndTheBroadcastAddresses) {
    ::unsetenv("CORVANE_BOX_ADDRESS");
    bool ran = false;
    std::thread([&] { ran = inOwnNetwork(); }).join();
    if (!ran) GTEST_SKIP() << "needs root and network namespaces";
}

} // namespace
} // namespace corvane
