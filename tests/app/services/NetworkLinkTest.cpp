#include "app/services/NetworkLink.hpp"
#include "app/services/Shell.hpp"
#include "app/services/WakeOnLAN.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <sched.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace corvane {
namespace {

using NetworkLink::BridgeStatus;
using Args = std::vector<std::string>;

void writeFile(const std::filesystem::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
using test::writeScript;

// Stand-ins for nmcli, ip and pkexec. nmcli and ip append their arguments, one a line and "--" after each
// call, to "calls"; nmcli lists "listing" with status "listing-status" and answers the IPv4 method from
// "method"; pkexec records its arguments and runs them.
class FakeTools : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.path() / "tool dir");
        const std::string d = dir.path().string();
        const std::string record = "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + d + "/calls'; done; echo -- >> '" +
                                   d + "/calls'\n";
        writeScript(tools.nmcli, record + "case \"$3\" in\n  NAME,AUTOCONNECT,DEVICE) cat '" + d + "/listing'; exit $(cat '" +
                                     d + "/listing-status') ;;\n  ipv4.method) cat '" + d + "/method' ;;\nesac\n");
        writeScript(tools.ip, record);
        writeScript(tools.adminProgram, "printf '%s\\n' \"$@\" > '" + d + "/admin'\nexec \"$@\"\n");
        set("listing", "");
        set("listing-status", "0");
        set("method", "ipv4.method:auto\n");
        tools.run = [this](const std::string& path, const std::vector<std::string>& arguments, double limit,
                           std::stop_token stop) {
            limits.push_back(limit);
            return Shell::run(path, arguments, limit, stop);
        };
    }
    void set(const std::string& name, const std::string& text) { writeFile(dir.path() / name, text); }
    std::vector<Args> calls() const {
        std::vector<Args> result(1);
        std::istringstream in(test::readWhole(dir.path() / "calls"));
        for (std::string line; std::getline(in, line);) line == "--" ? void(result.emplace_back()) : result.back().push_back(line);
        result.pop_back();
        std::filesystem::remove(dir.path() / "calls");
        return result;
    }
    test::TempDir dir;
    // Paths with a blank, so the command lines must quote them.
    NetworkLink::Tools tools{(dir.path() / "tool dir" / "nmcli").string(), (dir.path() / "tool dir" / "ip").string(),
                             (dir.path() / "pkexec").string(), {}};
    std::vector<double> limits;  // each child's time-out
};

TEST_F(FakeTools, FindsTheBridgeByNameOrDeviceAndReadsItsState) {
    set("listing", "Wired connection 1:yes:eth0\nThunderbolt Bridge:no:\nlo:no:lo\n");
    EXPECT_EQ(NetworkLink::bridgeStatus(tools), (BridgeStatus{"Thunderbolt Bridge", false, true}));
    EXPECT_EQ(calls(), (std::vector<Args>{{"-t", "-f", "NAME,AUTOCONNECT,DEVICE", "connection", "show"},
                                          {"-t", "-f", "ipv4.method", "connection", "show", "id", "Thunderbolt Bridge"}}));
    EXPECT_EQ(limits, (std::vector<double>{10, 10}));
    set("listing", "Wired:yes:eth0\nCable\\: box \\\\ one:yes:thunderbolt0\n");
    set("method", "ipv4.method:manual\n");
    EXPECT_EQ(NetworkLink::bridgeStatus(tools), (BridgeStatus{"Cable: box \\ one", true, false}));
    set("listing", "Wired:yes:eth0\n");
    EXPECT_EQ(NetworkLink::bridgeStatus(tools), (BridgeStatus{std::nullopt, false, false}));

    // A failing listing, or no nmcli at all, is taken as healthy, and nothing else is asked.
    calls();
    set("listing-status", "1");
    EXPECT_EQ(NetworkLink::bridgeStatus(tools), (BridgeStatus{"Thunderbolt Bridge", true, true}));
    EXPECT_EQ(calls().size(), 1u);
    NetworkLink::Tools missing = tools;
    missing.nmcli = (dir.path() / "no-nmcli").string();
    EXPECT_EQ(NetworkLink::bridgeStatus(missing), (BridgeStatus{"Thunderbolt Bridge", true, true}));
    EXPECT_EQ(NetworkLink::findBridgeConnection("a:yes:thunderbolt1\nThunderbolt Bridge:yes:\n"),
              (std::pair<std::string, bool>{"a", true}));
    EXPECT_EQ(NetworkLink::findBridgeConnection("bad line\n:yes:thunderbolt0\nx:no\n"), std::nullopt);
    EXPECT_EQ(NetworkLink::findBridgeConnection("Thunderbolt Bridge:no:\r\n"),
              (std::pair<std::string, bool>{"Thunderbolt Bridge", false}));

    // Quoted text is one word in a real shell.
    EXPECT_EQ(NetworkLink::quoted("Bob's cable"), "'Bob'\\''s cable'");
    const auto result = Shell::run("/bin/sh", {"-c", "printf '[%s]' " + NetworkLink::quoted("a 'b' $c `d` \\e")}, 10);
    EXPECT_EQ(result.stdout, "[a 'b' $c `d` \\e]");
}

TEST_F(FakeTools, FixBridgeRunsTheStepsAsAdministratorAndStopsAtAFailure) {
    NetworkLink::fixBridge({std::nullopt, false, false}, tools);
    EXPECT_EQ(limits, std::vector<double>{300});  // the password dialog may stay open that long
    const std::string admin = test::readWhole(dir.path() / "admin");
    EXPECT_TRUE(admin.starts_with("/bin/sh\n-c\n")) << admin;
    EXPECT_NE(admin.find(" connection add type ethernet con-name 'Thunderbolt Bridge' ifname 'thunderbolt"), std::string::npos)
        << admin;
    const auto made = calls();
    ASSERT_EQ(made.size(), 4u);
    EXPECT_EQ(Args(made[0].begin(), made[0].begin() + 2), (Args{"connection", "add"}));
    EXPECT_EQ(made[1], (Args{"connection", "modify", "Thunderbolt Bridge", "connection.autoconnect", "yes"}));
    EXPECT_EQ(made[2], (Args{"connection", "modify", "Thunderbolt Bridge", "ipv4.method", "auto"}));
    EXPECT_EQ(made[3], (Args{"connection", "up", "Thunderbolt Bridge"}));
    writeScript(tools.nmcli, "echo 'Error: unknown connection' >&2; exit 10\n");
    EXPECT_EQ(test::failureOf<Shell::AdminError>([&] { NetworkLink::fixBridge({"Thunderbolt Bridge", false, false}, tools); }),
              "The setup step failed: Error: unknown connection");
}

// An existing connection is only switched on, set to DHCP and brought up, under its own name: nothing is added.
TEST_F(FakeTools, FixBridgeRepairsAnExistingConnectionUnderItsOwnName) {
    NetworkLink::fixBridge({"Bob's cable", false, false}, tools);
    EXPECT_EQ(test::readWhole(dir.path() / "admin").find(" connection add "), std::string::npos);
    EXPECT_EQ(calls(), (std::vector<Args>{{"connection", "modify", "Bob's cable", "connection.autoconnect", "yes"},
                                          {"connection", "modify", "Bob's cable", "ipv4.method", "auto"},
                                          {"connection", "up", "Bob's cable"}}));
}

TEST_F(FakeTools, ManualAddressGoesToTheFirstSelfAssignedThunderboltInterface) {
    const std::vector<NetworkLink::InterfaceAddress> addresses = {
        {"lo", "127.0.0.1"}, {"eth0", "169.254.1.1"}, {"thunderbolt1", "169.254.7.7"}, {"thunderbolt0", "169.254.3.3"}};
    EXPECT_EQ(NetworkLink::manualAddressCommand(addresses, tools),
              NetworkLink::quoted(tools.ip) + " address add 10.77.0.2/24 dev 'thunderbolt1'");
    EXPECT_EQ(NetworkLink::manualAddressCommand({{"eth0", "192.168.1.2"}}, tools),
              NetworkLink::quoted(tools.ip) + " address add 10.77.0.2/24 dev 'thunderbolt0'");
}

// Runs on a thread in a network namespace of its own, so the interfaces it makes are seen by nobody else;
// false when that namespace or its interfaces cannot be made.
bool inOwnNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const auto ip = [](const std::string& command) { return test::runCommand("ip " + command + " >/dev/null").status; };
    for (const char* command : {"link set lo up", "link add thunderbolt0 type bridge", "address add 169.254.10.20/16 dev thunderbolt0",
                                "address add 10.77.0.5/24 brd + dev thunderbolt0", "link set thunderbolt0 up",
                                "link add lan0 type bridge", "address add 192.168.77.10/24 brd + dev lan0", "link set lan0 up",
                                "link add down0 type bridge", "address add 192.168.88.10/24 brd + dev down0",
                                "link add thunderbolt1 type bridge", "address add 10.77.1.9/24 brd + dev thunderbolt1",
                                "link set thunderbolt1 up"})
        if (ip(command) != 0) return false;
    const auto addresses = NetworkLink::ipv4Addresses();
    EXPECT_EQ(addresses, (std::vector<NetworkLink::InterfaceAddress>{{"lo", "127.0.0.1"}, {"thunderbolt0", "169.254.10.20"},
                                                                      {"thunderbolt0", "10.77.0.5"}, {"lan0", "192.168.77.10"},
                                                                      {"down0", "192.168.88.10"}, {"thunderbolt1", "10.77.1.9"}}));
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
