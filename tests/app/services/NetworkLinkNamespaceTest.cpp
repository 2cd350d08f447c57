#include "app/services/NetworkLink.hpp"
#include "app/services/WakeOnLAN.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace corvane {
namespace {

// A network namespace of the test's own; the calls under test run on a thread that entered it.
class NetworkNamespace {
public:
    NetworkNamespace() : name_("corvane-test-" + std::to_string(::getpid())) {
        if (::geteuid() != 0) return;
        ip("netns del " + name_ + " 2>/dev/null");
        if (ip("netns add " + name_) != 0) return;
        fd_ = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    }
    ~NetworkNamespace() {
        if (fd_ >= 0) ::close(fd_);
        ip("netns del " + name_ + " 2>/dev/null");
    }
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    bool usable() const { return fd_ >= 0; }
    int inside(const std::string& command) { return ip("-n " + name_ + " " + command); }

    template <class F>
    auto run(F f) {
        decltype(f()) result{};
        bool entered = false;
        std::thread thread([&] {
            entered = ::setns(fd_, CLONE_NEWNET) == 0;
            if (entered) result = f();
        });
        thread.join();
        EXPECT_TRUE(entered);
        return result;
    }

private:
    static int ip(const std::string& arguments) { return test::runCommand("ip " + arguments + " >/dev/null").status; }

    std::string name_;
    int fd_ = -1;
};

class NetworkLinkNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("CORVANE_BOX_ADDRESS");
        if (!ns.usable()) GTEST_SKIP() << "needs root and network namespaces";
        for (const char* command : {
                 "link set lo up",
                 "link add thunderbolt0 type bridge",
                 "address add 169.254.10.20/16 dev thunderbolt0",
                 "address add 10.77.0.5/24 brd + dev thunderbolt0",
                 "link set thunderbolt0 up",
                 "link add lan0 type bridge",
                 "address add 192.168.77.10/24 brd + dev lan0",
                 "link set lan0 up",
                 "link add down0 type bridge",
                 "address add 192.168.88.10/24 brd + dev down0",
                 "link add thunderbolt1 type bridge",
                 "address add 10.77.1.9/24 brd + dev thunderbolt1",
                 "link set thunderbolt1 up",
             }) {
            if (ns.inside(command) != 0) GTEST_SKIP() << "cannot make test interfaces: ip " << command;
        }
    }
    NetworkNamespace ns;
};

TEST_F(NetworkLinkNamespace, ReadsEveryAddressFindsTheLinkAndTheBroadcastAddresses) {
    const auto addresses = ns.run([] { return NetworkLink::ipv4Addresses(); });
    EXPECT_EQ(addresses, (std::vector<NetworkLink::InterfaceAddress>{{"lo", "127.0.0.1"},
                                                                      {"thunderbolt0", "169.254.10.20"},
                                                                      {"thunderbolt0", "10.77.0.5"},
                                                                      {"lan0", "192.168.77.10"},
                                                                      {"down0", "192.168.88.10"},
                                                                      {"thunderbolt1", "10.77.1.9"}}));
    EXPECT_EQ(ns.run([] { return NetworkLink::linkAddress(); }), "10.77.0.5");
    EXPECT_TRUE(ns.run([] { return NetworkLink::bridgeHasSelfAssignedAddress(); }));
    EXPECT_EQ(NetworkLink::manualAddressCommand(addresses, {}), "'/sbin/ip' address add 10.77.0.2/24 dev 'thunderbolt0'");

    // Loopback, interfaces that are down and the cable's network are skipped.
    const auto found = ns.run([] { return WakeOnLAN::broadcastAddresses(); });
    ASSERT_EQ(found.size(), 1u);
    char text[INET_ADDRSTRLEN];
    in_addr address{found[0]};
    EXPECT_STREQ(::inet_ntop(AF_INET, &address, text, sizeof text), "192.168.77.255");
    ASSERT_EQ(ns.inside("link set lan0 down"), 0);
    EXPECT_TRUE(ns.run([] { return WakeOnLAN::broadcastAddresses(); }).empty());

    // Without the cable there is no link address.
    ASSERT_EQ(ns.inside("address flush dev thunderbolt0"), 0);
    EXPECT_EQ(ns.run([] { return NetworkLink::linkAddress(); }), std::nullopt);
    EXPECT_FALSE(ns.run([] { return NetworkLink::bridgeHasSelfAssignedAddress(); }));
}

} // namespace
} // namespace corvane
