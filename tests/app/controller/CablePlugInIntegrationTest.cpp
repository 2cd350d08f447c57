#include "tests/app/controller/ControllerRig.hpp"
#include <gtest/gtest.h>
#include <unistd.h>
#include <filesystem>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

// The system's view of the cable's addresses; the bridge's service as set up (NetworkManager is not what
// this test is about).
class SystemAddresses final : public CableLink {
public:
    std::optional<std::string> linkAddress() override { return system->linkAddress(); }
    bool bridgeHasSelfAssignedAddress() override { return system->bridgeHasSelfAssignedAddress(); }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token) override { return {std::string("Thunderbolt Bridge"), true, true}; }
    void fixBridge(const NetworkLink::BridgeStatus&, std::stop_token) override {}
    void assignLinkAddressManually(std::stop_token) override {}
    std::unique_ptr<CableLink> system = CableLink::system();
};

int ip(const std::string& command) { return test::runCommand("ip " + command + " >/dev/null 2>&1").status; }

// Plugging in, inside a network namespace this test made: addresses come and go on "thunderbolt0".
void plugInInOwnNetwork() {
    // Asked over netlink: /sys/class/net may still show the machine's interfaces.
    const auto links = test::runCommand("ip -o link show");
    ASSERT_TRUE(links.output.starts_with("1: lo:") && links.output.find('\n') == links.output.size() - 1)
        << "not in a network namespace of its own: " << links.output;
    ASSERT_EQ(ip("link set lo up"), 0);
    // A bridge where the kernel offers no dummy interfaces.
    ASSERT_TRUE(ip("link add thunderbolt0 type dummy") == 0 || ip("link add thunderbolt0 type bridge") == 0);
    ASSERT_EQ(ip("link set thunderbolt0 up"), 0);
    test::ControllerRig rig(std::make_unique<SystemAddresses>());
    // This computer's end of the cable: another address of the box's network.
    const std::string link = rig.address.substr(0, rig.address.rfind('.') + 1) + (rig.address.ends_with(".250") ? "251" : "250");
    rig.box->start();
    auto& controller = *rig.controller;
    rig.pass();
    EXPECT_EQ(controller.phase().kind, Kind::waitingForBox);
    // Only a self-assigned address: said so once it has stayed more than 20 s.
    ASSERT_EQ(ip("address add 169.254.7.7/16 dev thunderbolt0"), 0);
    rig.pass();
    EXPECT_TRUE(controller.cable().bridgeHasSelfAssignedAddress());
    rig.clock.advance(20);
    rig.pass();
    EXPECT_EQ(controller.phase().kind, Kind::cableNoAddress);
    // The cable's address arrives: the box is found and paired; then unplugged.
    ASSERT_EQ(ip("address del 169.254.7.7/16 dev thunderbolt0"), 0);
    ASSERT_EQ(ip("address add " + link + "/32 dev thunderbolt0"), 0);
    rig.pass();
    EXPECT_EQ(controller.cable().linkAddress(), link);
    EXPECT_EQ(controller.phase().kind, Kind::ready);
    ASSERT_EQ(ip("address del " + link + "/32 dev thunderbolt0"), 0);
    rig.pass();
    EXPECT_EQ(controller.cable().linkAddress(), std::nullopt);
    EXPECT_EQ(controller.phase().kind, Kind::waitingForBox);
    EXPECT_FALSE(controller.paired());
}

// Runs itself again under `unshare -n`, so no interface of the machine it runs on is ever touched.
TEST(CablePlugIn, LinkAndSelfAssignedAddressesOnThunderbolt0) {
    if (std::getenv("CORVANE_OWN_NETWORK")) return plugInInOwnNetwork();
    if (::geteuid() != 0 || test::runCommand("unshare -n true").status != 0) GTEST_SKIP() << "needs root and network namespaces";
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto run = test::runCommand("CORVANE_OWN_NETWORK=1 unshare -n '" + self +
                                      "' --gtest_filter=CablePlugIn.LinkAndSelfAssignedAddressesOnThunderbolt0 2>&1");
    EXPECT_EQ(run.status, 0) << run.output;
}

} // namespace
} // namespace corvane
