#include "app/controller/BoxController.hpp"

#include "app/services/Log.hpp"
#include "boxsim/Box.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoroTask>
#include <QTest>

#include <cstdlib>
#include <memory>
#include <string>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

// The cable as the test sets it: an address or none, the bridge's service, a self-assigned address.
class ScriptedCable final : public CableLink {
public:
    std::optional<std::string> address;
    NetworkLink::BridgeStatus bridge{std::string("Thunderbolt Bridge"), true, true};
    bool selfAssigned = false;
    int bridgeReads = 0;

    std::optional<std::string> linkAddress() override { return address; }
    bool bridgeHasSelfAssignedAddress() override { return selfAssigned; }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token) override {
        ++bridgeReads;
        return bridge;
    }
    void fixBridge(const NetworkLink::BridgeStatus&, std::stop_token) override {}
    void assignLinkAddressManually(std::stop_token) override {}
};

// One app's worth of folders for the whole program: the log, settings and keys never touch the user's.
class Folders final : public ::testing::Environment {
public:
    void SetUp() override {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            setenv(name, (dir.path() / name).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    test::TempDir dir;
};
const auto* const folders = ::testing::AddGlobalTestEnvironment(new Folders);

class BoxControllerTest : public ::testing::Test {
protected:
    BoxControllerTest() {
        setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);
        boxsim::Box::Options options;
        options.address = address;
        box = std::make_unique<boxsim::Box>(options);
        auto owned = std::make_unique<ScriptedCable>();
        cable = owned.get();
        controller = std::make_unique<BoxController>(BoxController::Environment{
            clock, pool, std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json"), std::move(owned),
            dir.path() / "keys"});
        controller->autostartConfigHome = dir.path() / "config";
        // Windows opens in the tests that have a display for it.
        StreamSettings settings = controller->settings();
        settings.autoConnect = false;
        controller->setSettings(settings);
        Log::write(marker);
    }
    ~BoxControllerTest() override {
        controller.reset();
        box->stop();
    }

    // One pass of the loop, run to its end; the clock moves a second as the loop's sleep would.
    void pass() {
        QCoro::waitFor(controller->tick());
        clock.advance(1);
    }
    // How often a line was logged since this test began.
    int logged(const std::string& line) {
        std::string tail = "\n" + Log::tail(2000) + "\n";
        if (const auto start = tail.rfind(" " + marker + "\n"); start != std::string::npos) tail = tail.substr(start);
        int count = 0;
        for (auto at = tail.find(" " + line + "\n"); at != std::string::npos; at = tail.find(" " + line + "\n", at + 1))
            ++count;
        return count;
    }

    static inline int argc = 1;
    static inline char name[] = "test";
    static inline char* argv[] = {name, nullptr};
    QApplication app{argc, argv};
    const std::string marker = "test: " + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    ManualClock clock;
    AppPool pool;
    std::unique_ptr<boxsim::Box> box;
    ScriptedCable* cable = nullptr;
    std::unique_ptr<BoxController> controller;
};

TEST_F(BoxControllerTest, WithoutALinkTheBridgeDecidesThePhase) {
    const struct {
        NetworkLink::BridgeStatus bridge;
        BoxController::Phase phase;
    } rows[] = {
        {{std::nullopt, false, false},
         BoxController::Phase::needsNetworkSetup("The Thunderbolt Bridge network service is missing on this Mac.")},
        {{std::string("Thunderbolt Bridge"), false, true},
         BoxController::Phase::needsNetworkSetup("Thunderbolt Bridge networking is turned off on this Mac.")},
        {{std::string("Thunderbolt Bridge"), true, false},
         BoxController::Phase::needsNetworkSetup("Thunderbolt Bridge is set to a manual address.")},
        {{std::string("Thunderbolt Bridge"), true, true}, BoxController::Phase::of(Kind::waitingForBox)},
    };
    for (const auto& row : rows) {
        cable->bridge = row.bridge;
        clock.advance(5.1);  // the bridge is read at most every 5 s
        pass();
        EXPECT_EQ(controller->phase(), row.phase) << row.phase.description();
        EXPECT_FALSE(controller->linkUp());
    }
    EXPECT_EQ(logged("status: needsNetworkSetup(\"Thunderbolt Bridge is set to a manual address.\")"), 1);

    // Read at most every 5 s: four quick passes, one read.
    const int reads = cable->bridgeReads;
    for (int i = 0; i < 4; ++i) pass();
    EXPECT_EQ(cable->bridgeReads, reads);
}

TEST_F(BoxControllerTest, ASelfAssignedAddressWaitsTwentySecondsThenSaysSo) {
    cable->selfAssigned = true;
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
    clock.advance(18);
    pass();  // 19 s
    pass();  // 20 s: not yet
    EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
    pass();  // past 20 s
    EXPECT_EQ(controller->phase().kind, Kind::cableNoAddress);
    cable->selfAssigned = false;
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
}

TEST_F(BoxControllerTest, PairsWithNoTypingThenIsReadyAndPollsTheLoad) {
    box->start();
    cable->address = address;
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);
    EXPECT_TRUE(controller->paired());
    EXPECT_TRUE(controller->boxFound());
    EXPECT_EQ(controller->boxName(), "corvane-box");
    EXPECT_EQ(box->agent().pins().size(), 1u);  // the agent entered the engine's PIN
    EXPECT_EQ(logged("engine: paired with the box"), 1);
    EXPECT_EQ(logged("status: pairing"), 1);
    EXPECT_EQ(logged("box connected: corvane-box agent 0.3.0"), 1);
    EXPECT_EQ(controller->menuStatus(), "Ready: corvane-box");

    for (int i = 0; i < 6; ++i) pass();
    // Seven answered passes: the load is asked on the 1st, 4th and 7th.
    EXPECT_EQ(box->agent().seen("GET /v1/status").size(), 3u);
    EXPECT_EQ(logged("status: ready"), 1);

    // Unplugged: the pairing is forgotten and the next plug-in pairs (or finds the pairing) again.
    cable->address.reset();
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
    EXPECT_FALSE(controller->paired());
    cable->address = address;
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);
    EXPECT_EQ(logged("engine: already paired with the box"), 1);
}

TEST_F(BoxControllerTest, ABoxThatIsNotAnsweringOrNotReady) {
    cable->address = address;
    pass();  // nothing listens
    EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
    EXPECT_FALSE(controller->boxFound());

    box->start();
    box->host().stop();  // the agent answers, the streaming host does not
    pass();
    EXPECT_EQ(controller->phase(),
              BoxController::Phase::boxNotReady("Waiting for the box's streaming service to answer."));
}

TEST_F(BoxControllerTest, PairingFailuresStayUntilTryAgainAndChangeTheirTextAtTheThird) {
    box->start();
    box->agent().script("POST /v1/pair", {200, R"({"paired":false})", "application/json", 0, 0, true, 0});
    cable->address = address;
    const std::string first = "Pairing with the box did not finish. Click Try Again.";
    const std::string third = "Pairing with the box keeps failing. Try running the box setup again.";
    for (const auto& expected : {first, first, third}) {
        pass();
        EXPECT_EQ(controller->phase(), BoxController::Phase::failed(expected));
        pass();  // a failure stays while the link does
        EXPECT_EQ(controller->phase(), BoxController::Phase::failed(expected));
        controller->tryAgain();
        EXPECT_EQ(controller->phase().kind, Kind::starting);
    }
    EXPECT_EQ(logged("engine: pairing failed: the box did not approve the PIN: the box did not accept the PIN"), 3);
}

TEST_F(BoxControllerTest, ForgetBoxUnpairsEverythingAndStartsOver) {
    box->start();
    cable->address = address;
    pass();
    ASSERT_TRUE(controller->paired());
    controller->forgetBox();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller->paired(); }, 5000));
    EXPECT_FALSE(controller->paired());
    EXPECT_EQ(controller->phase().kind, Kind::starting);
    EXPECT_EQ(box->agent().seen("POST /v1/unpair-all").size(), 1u);
}

} // namespace
} // namespace corvane
