#include "app/controller/AppLaunch.hpp"
#include "app/controller/ModalKeyboard.hpp"
#include "app/updates/UpdateManager.hpp"
#include "app/window/EngineStream.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "platform/login/LoginItem.hpp"
#include "platform/system/SystemInfo.hpp"
#include "tests/app/controller/ControllerRig.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <nlohmann/json.hpp>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Phase = BoxController::Phase;
using Ports = boxsim::BoxPower::Ports;

class BoxControllerTest : public ::testing::Test {
protected:
    BoxControllerTest() {
        StreamSettings::setScreenSource([] { return StreamSettings::MainScreen{640, 360, 1, 60}; });
        rig.edit([](StreamSettings& s) {
            s.size = StreamSettings::Size::matchScreen, s.codec = StreamSettings::Codec::h264, s.fps = 30;
            s.matchWindowShape = false;  // no question on the stopped clock
        });
        test::markLog();
    }
    ~BoxControllerTest() override { StreamSettings::setScreenSource(nullptr); }

    void pass() { rig.pass(); }
    // How often a line was logged since this test began.
    static int logged(const std::string& line) { return static_cast<int>(test::logCount(line + "\n")); }

    // Opening and ending Windows take real time; the loop's own clock stands still meanwhile.
    bool streaming(bool open) {
        if (open) ++sessionsUp;
        return QTest::qWaitFor([&] {
            return controller->streamOpen() == open && controller->phase().is(Kind::streaming) == open &&
                   test::logCount("engine: session up in ") == sessionsUp;
        }, 30000);
    }
    std::size_t sessionsUp = 0;
    std::size_t openings() const {
        return std::ranges::count_if(box->host().requests(), [](const auto& r) { return r.path == "/launch" || r.path == "/resume"; });
    }
    // The box started and its cable in; with `autoConnect`, Windows opens at the next pass.
    void plugIn(bool autoConnect = false) {
        box->start();
        rig.edit([=](StreamSettings& s) { s.autoConnect = autoConnect; });
        cable->address = address;
    }
    // `main` stands for the app's main window, at a size of its own.
    void useAsMainWindow(QWidget& main) {
        main.resize(400, 300);
        controller->mainWindow = &main;
    }
    // A first launch (not at login) that opens Windows, whose window then has the keyboard; null if not.
    QWidget* firstLaunchInWindows() {
        plugIn(true);
        AppLaunch::atLogin = false;
        controller->start();
        if (!streaming(true)) return nullptr;
        QWidget* stream = controller->engineStream().window();
        return QTest::qWaitFor([&] { return stream->isActiveWindow(); }, 10000) ? stream : nullptr;
    }
    // The app launched again on the same folders, not at login, and run until its login question falls due.
    std::unique_ptr<BoxController> relaunch() {
        AppLaunch::atLogin = false;
        auto later = std::make_unique<BoxController>(BoxController::Environment{
            clock, laterPool, std::make_shared<platform::UserDefaults>(rig.dir.path() / "defaults.json"),
            std::make_unique<test::ScriptedCable>(), rig.dir.path() / "keys"});
        later->autostartConfigHome = rig.dir.path() / "config";
        later->start();
        clock.advance(3.1);
        return later;
    }
    const bool display = (test::WindowEnvironment::ensure(), true);  // Windows opens on the shared display
    test::ScriptedCable* cable = new test::ScriptedCable;
    // After a restart or shut-down the agent answers on until the test lets the box act
    // (BoxPower::carryOutRequest), as a real box's does for a few seconds while Windows winds down.
    test::ControllerRig rig{std::unique_ptr<CableLink>(cable), [] {
        boxsim::Box::Options quick;
        quick.restartSeconds = 1, quick.powerDelaySeconds = 3600;
        return quick;
    }()};
    const std::string& address = rig.address;
    ManualClock& clock = rig.clock;
    std::unique_ptr<boxsim::Box>& box = rig.box;
    std::unique_ptr<BoxController>& controller = rig.controller;
    AppPool laterPool;  // for relaunch(): outlives the controllers a test makes
};

TEST_F(BoxControllerTest, WithoutALinkTheBridgeDecidesThePhase) {
    const struct { NetworkLink::BridgeStatus bridge; Phase phase; } rows[] = {
        {{std::nullopt, false, false}, Phase::needsNetworkSetup("The Thunderbolt Bridge network service is missing on this computer.")},
        {{"Thunderbolt Bridge", false, true}, Phase::needsNetworkSetup("Thunderbolt Bridge networking is turned off on this computer.")},
        {{"Thunderbolt Bridge", true, false}, Phase::needsNetworkSetup("Thunderbolt Bridge is set to a manual address.")},
        {{"Thunderbolt Bridge", true, true}, Phase::of(Kind::waitingForBox)},
    };
    for (const auto& row : rows) {
        cable->bridge = row.bridge;
        clock.advance(5.1);  // the bridge is read at most every 5 s
        pass();
        EXPECT_EQ(controller->phase(), row.phase) << row.phase.description();
        EXPECT_FALSE(controller->linkUp());
    }
    EXPECT_EQ(logged("status: needsNetworkSetup(\"Thunderbolt Bridge is set to a manual address.\")"), 1);
    // Read when more than 5 s have passed: not at 5 s, at 6 s.
    const int reads = cable->bridgeReads;
    for (int i = 0; i < 5; ++i) pass();
    EXPECT_EQ(cable->bridgeReads, reads);
    pass();
    EXPECT_EQ(cable->bridgeReads, reads + 1);
}

// start() runs once: one start line, one loop, whose passes come a second apart on the controller's clock.
TEST_F(BoxControllerTest, StartRunsOneLoopOfOneSecondPasses) {
    controller->start();
    controller->start();
    EXPECT_EQ(logged("Corvane " + controller->updates().currentVersion() + " started"), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->phase().is(Kind::waitingForBox); }, 5000));
    const int reads = cable->linkReads;
    clock.advance(0.9);
    EXPECT_EQ(cable->linkReads, reads);
    clock.advance(0.1);
    EXPECT_EQ(cable->linkReads, reads + 1);
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
    plugIn();
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
    // With the detailed overlay shown, every second pass.
    rig.edit([](StreamSettings& s) { s.detailedStats = true; });
    controller->statsOverlay().start(0, controller->settings().statsPosition, true, controller->settings().statsInfo());
    for (int i = 0; i < 6; ++i) pass();
    EXPECT_EQ(box->agent().seen("GET /v1/status").size(), 6u);
    controller->statsOverlay().stop();
    // An agent without the endpoint is not asked again.
    box->agent().script("GET /v1/status", {.status = 404, .body = "{}"});
    for (int i = 0; i < 9; ++i) pass();
    EXPECT_EQ(box->agent().seen("GET /v1/status").size(), 7u);
    // Unplugged: the pairing is forgotten and the next plug-in pairs (or finds the pairing) again.
    cable->address.reset();
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
    EXPECT_FALSE(controller->paired());
    cable->address = address;
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);
    EXPECT_EQ(logged("engine: already paired with the box"), 1);
    // Forgotten: the box unpairs every client and the next pass pairs anew.
    controller->forgetBox();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !controller->paired(); }, 5000));
    EXPECT_EQ(controller->phase().kind, Kind::starting);
    EXPECT_EQ(box->agent().seen("POST /v1/unpair-all").size(), 1u);
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);
    EXPECT_EQ(box->agent().pins().size(), 2u);
}

// The box's load changes while Windows is open: the stream's passes keep asking for it (every 2nd pass with
// the detailed overlay, else every 3rd) and the new figures reach the overlay's card and the main window's.
TEST_F(BoxControllerTest, TheBoxsLoadKeepsComingWhileWindowsIsOpen) {
    rig.edit([](StreamSettings& s) { s.showStats = true, s.detailedStats = true; });
    plugIn(true);
    pass();  // the 1st answered pass asks for the load, then Windows opens
    ASSERT_TRUE(streaming(true));
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->statsOverlay().running(); }, 10000));
    ASSERT_EQ(controller->boxStatus()->cpuPercent, 12.5);
    box->agent().script("GET /v1/status", {.body = R"({"cpu_percent": 77.4, "gpu_percent": 63.5, "memory_used": 1,
        "memory_total": 2, "disk_free": 1, "disk_total": 2, "uptime_seconds": 60})", .times = 0});
    int changes = 0;
    QObject::connect(controller.get(), &BoxController::changed, [&] { ++changes; });
    const auto asked = [&] { return box->agent().seen("GET /v1/status").size(); };
    for (int i = 0; i < 4; ++i) pass();
    EXPECT_EQ(asked(), 3u);  // the 3rd and 5th
    ASSERT_TRUE(controller->boxStatus());
    EXPECT_EQ(controller->boxStatus()->cpuPercent, 77.4);  // what the main window's card shows
    EXPECT_GE(changes, 1);
    EXPECT_EQ(StatsCard::box(controller->statsOverlay()), "GPU 64%, CPU 77%");
    rig.edit([](StreamSettings& s) { s.detailedStats = false; });
    for (int i = 0; i < 6; ++i) pass();
    EXPECT_EQ(asked(), 5u);  // the 7th and 10th
    EXPECT_TRUE(controller->streamOpen());
    EXPECT_EQ(controller->phase().kind, Kind::streaming);
    EXPECT_EQ(box->agent().seen("GET /v1/info").size(), 1u);  // the stream's passes only watch the cable
}

// A settings change while streaming moves or details the overlay's card only: it goes on showing the stream.
TEST_F(BoxControllerTest, TheOverlayShowsTheStreamThatRunsWhateverTheSettingsBecome) {
    rig.edit([](StreamSettings& s) { s.showStats = true, s.detailedStats = true; });
    ASSERT_TRUE(firstLaunchInWindows());
    StatsOverlay& overlay = controller->statsOverlay();
    const std::string opened = "640 x 360, H.264, " + std::to_string(overlay.info().value().bitrateMbps) + " Mbps";
    rig.edit([](StreamSettings& s) { s.fps = 60, s.codec = StreamSettings::Codec::hevc, s.bitrateMbps = 24; });
    rig.edit([](StreamSettings& s) { s.statsPosition = StatsOverlay::Position::topLeft, s.detailedStats = false; });
    EXPECT_EQ(std::tuple(StatsCard::video(overlay), overlay.targetFPS(), overlay.detailed()), std::tuple(opened, 30, false));
    EXPECT_EQ(overlay.panel()->mapToGlobal(QPoint(0, 0)).x(), controller->engineStream().window()->frameGeometry().left() + 12);
}

// A box that sends its load at one byte a second: the status request runs beside the loop, which keeps
// asking for the box's information every second; a due poll is skipped while one still runs.
// The box records this computer under its own name, which names the Send to entry on Windows that the
// Sharing tab points to.
TEST_F(BoxControllerTest, TheBoxRecordsThisComputerUnderItsName) {
    plugIn();
    pass();
    ASSERT_TRUE(controller->paired());
    const auto pairs = box->agent().seen("POST /v1/pair");
    ASSERT_EQ(pairs.size(), 1u);
    const auto body = nlohmann::json::parse(pairs[0].body, nullptr, false);
    ASSERT_TRUE(body.is_object() && body.contains("name") && body["name"].is_string()) << pairs[0].body;
    const auto computer = platform::SystemInfo::computerName();
    ASSERT_TRUE(computer);
    EXPECT_EQ(body["name"].get<std::string>(), *computer + " (Corvane)");
    EXPECT_EQ(body["name"].get<std::string>(), BoxController::pairingName());
}

TEST_F(BoxControllerTest, ASlowStatusNeverHoldsThePass) {
    plugIn();
    pass();
    box->agent().script("GET /v1/status", {.body = std::string(100, ' '), .secondsPerByte = 1});
    for (int i = 0; i < 7; ++i) {
        QCoro::waitFor(controller->tick());
        clock.advance(1);
    }
    EXPECT_EQ(box->agent().seen("GET /v1/info").size(), 8u);
    EXPECT_EQ(box->agent().seen("GET /v1/status").size(), 2u);  // the 4th pass's; the 7th's waits for it
    EXPECT_TRUE(controller->askingStatus());
    EXPECT_EQ(controller->phase().kind, Kind::ready);
}

TEST_F(BoxControllerTest, ABoxThatIsNotAnsweringOrNotReady) {
    cable->address = address;
    pass();  // nothing listens
    EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
    EXPECT_FALSE(controller->boxFound());
    box->start();
    for (const auto ports : {Ports::stopped, Ports::silent}) {
        box->host().stop();  // the agent answers, the streaming host does not
        pass();
        EXPECT_EQ(controller->phase(), Phase::boxNotReady("Waiting for the box's streaming service to answer."));
        box->power().setPorts(ports);
        pass();
        EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering) << static_cast<int>(ports);
        EXPECT_FALSE(controller->boxFound());
        box->power().setPorts(Ports::open);
    }
}

TEST_F(BoxControllerTest, PairingFailuresStayUntilTryAgainAndChangeTheirTextAtTheThird) {
    plugIn();
    box->agent().script("POST /v1/pair", {200, R"({"paired":false})", "application/json", 0, 0, true, 0});
    const std::string first = "Pairing with the box did not finish. Click Try Again.";
    const std::string third = "Pairing with the box keeps failing. Try running the box setup again.";
    for (const auto& expected : {first, first, third}) {
        pass();
        EXPECT_EQ(controller->phase(), Phase::failed(expected));
        pass();  // a failure stays while the link does
        EXPECT_EQ(controller->phase(), Phase::failed(expected));
        controller->tryAgain();
        EXPECT_EQ(controller->phase().kind, Kind::starting);
    }
    EXPECT_EQ(logged("engine: pairing failed: the box did not approve the PIN: the box did not accept the PIN"), 3);
}

TEST_F(BoxControllerTest, WindowsOpensOncePerPlugInAndReopensAfterThreeDropsOnly) {
    plugIn(true);
    pass();
    ASSERT_TRUE(streaming(true));
    controller->closeSession();  // closed by hand: it stays closed while the box stays plugged in
    ASSERT_TRUE(streaming(false));
    for (int i = 0; i < 3; ++i) pass();
    EXPECT_EQ(openings(), 1u);
    // A session the box drops reopens when the box is back, three times in a run. The cable pulled during a
    // stream is a plug-in: its opening spends none of the three, and comes after they are spent too.
    enum class Drop { cable, boxRestart, channelClosed };
    const struct { Drop drop; bool reopened; } drops[] = {
        {Drop::cable, true}, {Drop::boxRestart, true}, {Drop::cable, true}, {Drop::channelClosed, true},
        {Drop::channelClosed, true}, {Drop::channelClosed, false}, {Drop::cable, true}};
    for (std::size_t i = 0; i < std::size(drops); ++i) {
        if (!controller->streamOpen()) {
            controller->openEngineWindow();
            ASSERT_TRUE(streaming(true)) << i;
        }
        switch (drops[i].drop) {
        case Drop::cable:
            cable->address.reset();
            pass();
            ASSERT_TRUE(streaming(false));
            pass();
            EXPECT_EQ(controller->phase().kind, Kind::waitingForBox);
            cable->address = address;
            break;
        case Drop::boxRestart:
            box->power().restart();  // the box ends the stream as it goes
            ASSERT_TRUE(streaming(false));
            ASSERT_TRUE(QTest::qWaitFor([&] { return box->power().ports() == Ports::stopped; }, 5000));
            pass();
            EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
            ASSERT_TRUE(QTest::qWaitFor([&] { return box->power().ports() == Ports::open; }, 5000));
            break;
        case Drop::channelClosed:
            box->control()->disconnect(0);
            ASSERT_TRUE(streaming(false));
            break;
        }
        pass();
        if (drops[i].reopened) {
            ASSERT_TRUE(streaming(true)) << i;
        } else {
            for (int j = 0; j < 3; ++j) pass();
            EXPECT_EQ(controller->phase().kind, Kind::ready);
            EXPECT_FALSE(controller->streamWindowExists());
        }
    }
    EXPECT_EQ(openings(), 9u);
    EXPECT_EQ(logged("lost the box during the session; Windows reopens when the box is back"), 3);
    EXPECT_EQ(test::logCount("the stream ended unexpectedly (the box closed the control channel"), 4u);
    EXPECT_EQ(logged("reopening Windows after the session dropped (try 3)"), 1);
    EXPECT_EQ(logged("the session dropped again; not reopening automatically (click Open Windows)"), 1);
}

// A restart the user confirmed brings Windows back with the box every time, as its question promises,
// and leaves a dropped session's three reopens unspent.
TEST_F(BoxControllerTest, EveryConfirmedRestartReopensWindowsOnceTheBoxIsBack) {
    plugIn();
    pass();
    for (int i = 1; i <= 5; ++i) {
        controller->confirmBoxPower("restart");
        ASSERT_TRUE(test::press(test::alert("Restart the box?"), "Restart"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return logged("box restart requested") == i; }, 10000));
        ASSERT_TRUE(box->power().carryOutRequest());
        pass();
        EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
        ASSERT_TRUE(QTest::qWaitFor([&] { return box->power().ports() == Ports::open; }, 5000));
        if (i == 3) {
            // Its streaming service comes up after its agent: Windows waits for it rather than failing.
            box->host().stop();
            pass();
            EXPECT_EQ(controller->phase(), Phase::boxNotReady("Waiting for the box's streaming service to answer."));
            EXPECT_FALSE(controller->streamWindowExists());
            box->host().start();
        }
        pass();
        ASSERT_TRUE(streaming(true)) << i;
        for (int j = 0; j < 3; ++j) pass();
        EXPECT_EQ(openings(), static_cast<std::size_t>(i));
    }
    EXPECT_EQ(logged("reopening Windows after the box restarted"), 5);
    box->control()->disconnect(0);
    ASSERT_TRUE(streaming(false));
    pass();
    ASSERT_TRUE(streaming(true));
    EXPECT_EQ(logged("reopening Windows after the session dropped (try 1)"), 1);
}

// The first launch's login question falls due while Windows has the keyboard: it waits, the Return typed
// then goes to Windows and answers nothing. Another window of the app does not bring it; the main window,
// brought forward from the stream, does: the question comes over the main window, as its own dialog.
TEST_F(BoxControllerTest, TheLoginQuestionNeverTakesTheKeyboardFromTheStream) {
    QWidget main;
    useAsMainWindow(main);
    QWidget* stream = firstLaunchInWindows();
    ASSERT_TRUE(stream);
    clock.advance(4);  // the question falls due 3 s after the start
    QTest::qWait(300);
    // Return down and up reach the box as key packets.
    const auto session = controller->engineStream().session();
    const auto sentBefore = session->stats().controlSent;
    test::runCommand("xdotool key Return");
    EXPECT_TRUE(QTest::qWaitFor([&] { return session->stats().controlSent >= sentBefore + 2; }, 5000));
    EXPECT_TRUE(stream->isActiveWindow());
    EXPECT_TRUE(test::alerts().empty());
    EXPECT_EQ(platform::LoginItem::status(controller->autostartConfigHome), platform::LoginItem::Status::notRegistered);
    // Another window of the app, activated: the stream window still exists, the question still waits.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return other.isActiveWindow(); }, 10000));
    EXPECT_TRUE(test::alerts().empty());
    // Back to the stream, then the main window brought forward: the question comes, over the main window.
    stream->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->isActiveWindow(); }, 10000));
    main.show(), main.raise(), main.activateWindow();
    QPointer<QMessageBox> question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    EXPECT_EQ(question->icon(), QMessageBox::Question);
    EXPECT_EQ(question->parentWidget(), &main);
    EXPECT_FALSE(question->windowFlags() & Qt::WindowStaysOnTopHint);
    // Back into the stream: the question steps aside (its window is gone) and leaves the keyboard there, until
    // the main window comes forward again.
    ASSERT_TRUE(QTest::qWaitFor([&] { return question && question->isActiveWindow(); }, 10000));
    stream->activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->isActiveWindow() && !question; }, 10000));
    const std::string streamId = std::to_string(stream->winId());
    EXPECT_EQ(test::runCommand("xdotool getactivewindow").output, streamId + "\n");  // as the window manager sees it
    QCoreApplication::processEvents();
    EXPECT_TRUE(stream->isActiveWindow());
    EXPECT_TRUE(test::alerts().empty());
    main.activateWindow();
    question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    ASSERT_TRUE(QTest::qWaitFor([&] { return question && question->isActiveWindow(); }, 10000));
    EXPECT_TRUE(test::press(question, "Not Now"));
    EXPECT_EQ(platform::LoginItem::status(controller->autostartConfigHome), platform::LoginItem::Status::notRegistered);
}

// Windows opens at the start and has the keyboard before the login question falls due: the first move from the
// stream window to the main window brings the question, over the main window, with the keyboard.
TEST_F(BoxControllerTest, TheFirstMoveFromTheStreamToTheMainWindowBringsTheLoginQuestion) {
    QWidget main;
    useAsMainWindow(main);
    QWidget* stream = firstLaunchInWindows();
    ASSERT_TRUE(stream);
    clock.advance(4);  // due while the stream window has the keyboard: it waits
    QCoreApplication::processEvents();
    EXPECT_TRUE(test::alerts().empty());
    main.show(), main.raise(), main.activateWindow();
    QPointer<QMessageBox> question;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        question = BoxControllerProbe::loginQuestion(*controller);
        return question && question->isActiveWindow();
    }, 10000));
    ASSERT_TRUE(question);
    EXPECT_EQ(question->parentWidget(), &main);
    EXPECT_TRUE(test::press(question, "Not Now"));
}

// The question kept back by the stream window, which then closes while another program has the keyboard: the
// question comes over the main window but under that program and leaves it the keyboard, so a Return typed
// there goes to that program and does not turn the login item on. Once the user comes to the app, the
// question has the keyboard.
TEST_F(BoxControllerTest, ALoginQuestionShownLateLeavesTheKeyboardToAnotherProgram) {
    QWidget main;
    useAsMainWindow(main);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main, 10000));
    QPointer<QWidget> stream = firstLaunchInWindows();
    ASSERT_TRUE(stream);
    clock.advance(4);  // due while the stream window has the keyboard: it waits
    // Another program takes the keyboard; a Return there presses its default button, which ends it.
    test::OwnedProcess other("xmessage -name corvane-other -default okay other >/dev/null 2>&1");
    test::runCommand("timeout 10 xdotool search --sync --onlyvisible --classname corvane-other windowactivate --sync");
    const std::string otherId = test::runCommand("xdotool getactivewindow").output;
    ASSERT_NE(test::runCommand("xdotool search --onlyvisible --classname corvane-other").output.find(otherId), std::string::npos);
    const unsigned long otherWindow = std::stoul(otherId);
    ASSERT_TRUE(QTest::qWaitFor([] { return !QGuiApplication::focusWindow(); }, 10000));
    controller->closeSession();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !stream; }, 10000));
    // The question shows over the main window, under the other program.
    QPointer<QMessageBox> question;
    const auto shown = [&] {
        question = BoxControllerProbe::loginQuestion(*controller);
        return question && question->isVisible();
    };
    ASSERT_TRUE(QTest::qWaitFor(shown, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return question && test::stackedAbove(question->winId(), main.winId()) &&
               test::stackedAbove(otherWindow, question->winId());
    }, 10000));
    // Whatever the app asked of the window manager as the question showed is done once a later request is.
    test::runCommand("wmctrl -i -r " + std::to_string(otherWindow) + " -b add,above");
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return test::runCommand("xprop -id " + std::to_string(otherWindow) + " _NET_WM_STATE").output.find("ABOVE") !=
               std::string::npos;
    }, 10000));
    EXPECT_EQ(test::runCommand("xdotool getactivewindow").output, otherId);
    test::runCommand("xdotool key Return");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !other.running(); }, 10000));  // the Return ended the other program
    EXPECT_EQ(platform::LoginItem::status(controller->autostartConfigHome), platform::LoginItem::Status::notRegistered);
    EXPECT_FALSE(controller->defaults().object("Corvane.AskedLoginItem"));
    // The user comes to the app: the question, still over the main window, has the keyboard.
    test::runCommand("xdotool windowactivate " + std::to_string(main.winId()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() && question->isActiveWindow(); }, 10000));
    ASSERT_TRUE(question);
    EXPECT_EQ(question->parentWidget(), &main);
    EXPECT_TRUE(test::press(question, "Not Now"));
    EXPECT_TRUE(controller->defaults().boolean("Corvane.AskedLoginItem"));
}

// A modal window of the app, the login question among them, and the user clicks the main window it blocks:
// the modal window keeps the keyboard, so the key typed next answers it (Return its default button, Escape
// its "Not Now" or "Cancel").
TEST_F(BoxControllerTest, AKeyTypedAfterAClickOnTheWindowAModalOneBlocksAnswersIt) {
    ModalKeyboard modalKeyboard;
    QWidget main;
    useAsMainWindow(main);
    controller->executable = "/usr/bin/true";
    AppLaunch::atLogin = false;
    QPointer<QMessageBox> modal;
    const auto modalHasKeyboard = [&] {  // as the X server has it, and the app
        return modal && modal->isActiveWindow() &&
               test::runCommand("xdotool getwindowfocus -f").output == std::to_string(modal->winId()) + "\n";
    };
    using Item = platform::LoginItem::Status;
    const struct { std::string key; bool login; Item item; } rows[] = {
        {"Return", true, Item::enabled}, {"Escape", true, Item::notRegistered}, {"Escape", false, Item::notRegistered}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key + (row.login ? " at the login question" : " at an alert"));
        platform::LoginItem::set(false, controller->executable, controller->autostartConfigHome);
        controller->defaults().remove("Corvane.AskedLoginItem");
        // Launched by hand: the main window has the keyboard when the question falls due and takes it.
        main.show(), main.raise(), main.activateWindow();
        ASSERT_TRUE(QTest::qWaitFor([&] { return main.isActiveWindow(); }, 10000));
        if (row.login) {
            BoxControllerProbe::offerLoginItem(*controller);
            clock.advance(3.1);
            modal = BoxControllerProbe::loginQuestion(*controller);
        } else {
            modal = new QMessageBox(QMessageBox::Warning, "Corvane", "Shut down the box?",
                                    QMessageBox::Ok | QMessageBox::Cancel, &main);
            modal->setAttribute(Qt::WA_DeleteOnClose);
            modal->open();
        }
        ASSERT_TRUE(QTest::qWaitFor(modalHasKeyboard, 10000));
        // A click on the main window beside the modal one, then the key once the app has had the click.
        const QPoint beside(8, 8);
        ASSERT_FALSE(modal->frameGeometry().contains(main.mapToGlobal(beside)));
        test::ButtonReleases releases(main.winId());
        test::runCommand("xdotool mousemove --window " + std::to_string(main.winId()) + " " + std::to_string(beside.x()) +
                         " " + std::to_string(beside.y()) + " click 1");
        ASSERT_TRUE(QTest::qWaitFor([&] { return releases.count() > 0; }, 10000));
        EXPECT_TRUE(QTest::qWaitFor(modalHasKeyboard, 10000));
        test::runCommand("xdotool key " + row.key);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !modal || !modal->isVisible(); }, 10000));
        if (!row.login) continue;
        EXPECT_TRUE(controller->defaults().boolean("Corvane.AskedLoginItem"));
        const auto item = [&] { return platform::LoginItem::status(controller->autostartConfigHome); };
        EXPECT_TRUE(QTest::qWaitFor([&] { return item() == row.item; }, 10000));  // taken as the question's task ends
    }
}

// The box's power questions, and a dialog Qt makes modal to every window, asked while Windows is open: a click on
// the main or the settings window leaves the question the keyboard, also with the main window closed to the tray;
// keys typed into the stream window go to the box and answer none.
TEST_F(BoxControllerTest, AQuestionKeepsTheAppsKeyboardAndLeavesTheStreamsToTheBox) {
    ModalKeyboard modalKeyboard;
    QWidget main, settings;
    useAsMainWindow(main);
    modalKeyboard.standUnder(settings, main);
    main.move(0, 0), settings.move(0, 500), settings.show(), main.show();  // their top left corners beside Windows
    QWidget* stream = firstLaunchInWindows();
    ASSERT_TRUE(stream);
    const auto keyboardGoesTo = [](QWidget* clicked, QWidget* window) {  // as the X server has it, and the app
        test::ButtonReleases releases(clicked->winId());  // those of the stream window go to its view
        const QPoint at = clicked == window ? clicked->rect().center() : QPoint(8, 8);  // beside any question
        test::runCommand("xdotool mousemove --window " + std::to_string(clicked->winId()) + " " +
                         std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1");
        return (clicked == window || QTest::qWaitFor([&] { return releases.count() > 0; }, 10000)) &&
               QTest::qWaitFor([&] { return window->isActiveWindow() && test::runCommand("xdotool getwindowfocus -f")
                                                   .output == std::to_string(window->winId()) + "\n"; }, 10000);
    };
    for (const QString text : {"Restart the box?", "Replace it?", "Shut down the box?"}) {
        SCOPED_TRACE(text.toStdString());
        const bool inTray = text == "Shut down the box?";  // asked from the tray, the main window closed
        if (inTray) main.hide();
        QPointer<QMessageBox> question;
        if (text == "Replace it?") {  // as the file dialog asks it
            question = new QMessageBox(QMessageBox::Warning, "Save", text, QMessageBox::Yes | QMessageBox::No, &main);
            question->setWindowModality(Qt::ApplicationModal), question->show();
        } else {
            controller->confirmBoxPower(text == "Restart the box?" ? "restart" : "shutdown");
            question = test::alert(text);
        }
        ASSERT_TRUE(question);
        EXPECT_TRUE((inTray || keyboardGoesTo(&main, question)) && keyboardGoesTo(&settings, question));
        ASSERT_TRUE(keyboardGoesTo(stream, stream));
        const auto session = controller->engineStream().session();
        const auto sent = session->stats().controlSent;
        test::runCommand("xdotool key Return");  // down and up
        EXPECT_TRUE(QTest::qWaitFor([&] { return session->stats().controlSent >= sent + 2; }, 5000));
        ASSERT_TRUE(question && question->isVisible());
        question->reject();
    }
}

// A first launch whose stream window stays until the quit never shows the login question, not even as the quit
// closes the stream window, and does not count it as asked: the next launch asks it.
TEST_F(BoxControllerTest, ALoginQuestionTheStreamKeptBackIsAskedAtTheNextLaunch) {
    constexpr const char* asked = "Corvane.AskedLoginItem";
    QWidget* stream = firstLaunchInWindows();
    ASSERT_TRUE(stream);
    QPointer<QWidget> window = stream;
    clock.advance(4);  // the question falls due 3 s after the start and waits
    EXPECT_TRUE(test::alerts().empty());
    int questionsShown = 0;
    QObject::connect(qApp, &QGuiApplication::focusWindowChanged, controller.get(), [&] {
        questionsShown += static_cast<int>(test::alerts().size());
    });
    controller->shutdown();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window; }, 10000));  // the stream window is gone
    QCoreApplication::processEvents();                              // and the controller has heard of it
    EXPECT_TRUE(test::alerts().empty());
    EXPECT_EQ(questionsShown, 0);
    EXPECT_FALSE(controller->defaults().object(asked));
    controller.reset();

    auto later = relaunch();
    QMessageBox* question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    EXPECT_FALSE(later->defaults().object(asked));  // on screen is not answered
    EXPECT_TRUE(test::press(question, "Not Now"));
    EXPECT_TRUE(later->defaults().boolean(asked));
    EXPECT_EQ(platform::LoginItem::status(later->autostartConfigHome), platform::LoginItem::Status::notRegistered);
}

// The login question counts as asked only once the user answered or closed it: a launch that quits with it on
// screen, unanswered, does not count, nor does the quit's closing of every window; the window manager's close
// button does.
TEST_F(BoxControllerTest, ALoginQuestionNeverAnsweredIsAskedAtTheNextLaunch) {
    constexpr const char* asked = "Corvane.AskedLoginItem";
    controller.reset();  // this test's launches are its own

    // On screen, then the quit: it goes, unanswered.
    auto second = relaunch();
    QPointer<QMessageBox> question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    EXPECT_FALSE(second->defaults().object(asked));  // on screen is not answered
    second->shutdown();
    EXPECT_TRUE(!question || !question->isVisible());
    EXPECT_FALSE(second->defaults().object(asked));
    second.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // Closed by the quit's closing of every window, before the controller hears of the quit: unanswered too.
    auto third = relaunch();
    question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    question->close();
    third->shutdown();
    EXPECT_FALSE(third->defaults().object(asked));
    EXPECT_EQ(platform::LoginItem::status(third->autostartConfigHome), platform::LoginItem::Status::notRegistered);
    third.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // Closed with the window manager's close button: answered.
    auto fourth = relaunch();
    question = test::alert("Open Corvane when you log in?");
    ASSERT_TRUE(question);
    ASSERT_TRUE(QTest::qWaitFor([&] { return question && question->isActiveWindow(); }, 10000));
    test::runCommand("wmctrl -i -c " + std::to_string(question->winId()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return fourth->defaults().boolean(asked); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([] { return test::alerts().empty(); }, 10000));
    EXPECT_EQ(platform::LoginItem::status(fourth->autostartConfigHome), platform::LoginItem::Status::notRegistered);
    fourth.reset();

    // Asked once: the next launch does not ask.
    auto fifth = relaunch();
    QTest::qWait(100);
    EXPECT_TRUE(test::alerts().empty());
}

// Pairing and opening Windows outlast the login question's 3 s: the question comes first, over the main
// window, which does not cover it when activated. Windows then opens: the question steps aside before the
// stream window shows, and comes back over the main window once the user brings that forward. It counts as
// asked only once answered.
TEST_F(BoxControllerTest, ALoginQuestionBeforeASlowPairingStaysOverTheMainWindowAndCountsOnceAnswered) {
    constexpr const char* asked = "Corvane.AskedLoginItem";
    QWidget main;
    useAsMainWindow(main);
    const auto activate = [](QWidget& window) {  // as the main window is shown from the tray
        window.show(), window.raise(), window.activateWindow();
        return QTest::qWaitFor([&] { return window.isActiveWindow(); }, 10000);
    };
    ASSERT_TRUE(activate(main));
    boxsim::StreamingHost::Fault slow;  // a slow pairing
    slow.path = "/pair", slow.step = "getservercert", slow.delaySeconds = 1;
    box->host().addFault(slow);
    plugIn(true);
    AppLaunch::atLogin = false;
    controller->start();
    clock.advance(3.1);  // the question falls due while the first pass still waits for the box
    const auto shown = test::alerts();
    ASSERT_EQ(shown.size(), 1u);
    QPointer<QMessageBox> question = shown[0];
    EXPECT_EQ(question->parentWidget(), &main);
    EXPECT_FALSE(question->windowFlags() & Qt::WindowStaysOnTopHint);
    const auto overMain = [&] {
        question = BoxControllerProbe::loginQuestion(*controller);  // made anew each time it shows
        return question && question->isVisible() && test::stackedAbove(question->winId(), main.winId());
    };
    EXPECT_TRUE(QTest::qWaitFor(overMain, 10000));
    // Stacked over the main window only: nothing keeps it above every program's windows.
    EXPECT_EQ(test::runCommand("xprop -id " + std::to_string(question->winId()) + " _NET_WM_STATE").output.find("ABOVE"),
              std::string::npos);
    EXPECT_FALSE(controller->defaults().object(asked));  // on screen is not answered
    // Windows opens and has the keyboard: the question is not left over or under it.
    bool visibleAsWindowsOpened = true;
    QObject::connect(controller.get(), &BoxController::streamWindowChanged, &main, [&] {
        if (controller->streamWindowExists()) visibleAsWindowsOpened = question && question->isVisible();
    });
    ASSERT_TRUE(streaming(true));
    EXPECT_FALSE(visibleAsWindowsOpened);
    QWidget* stream = controller->engineStream().window();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->isActiveWindow(); }, 10000));
    EXPECT_TRUE(test::alerts().empty());
    // The user brings the main window forward: the question is back over it and has the keyboard (the main
    // window it blocks never becomes the active one), still not answered.
    main.raise(), main.activateWindow();
    EXPECT_TRUE(QTest::qWaitFor([&] { return overMain() && question->isActiveWindow(); }, 10000));
    EXPECT_EQ(question->parentWidget(), &main);
    EXPECT_FALSE(controller->defaults().object(asked));
    // Another window of the app, then the main window again: each is raised, the question stays over the main
    // window.
    QWidget other;
    other.resize(200, 200);
    ASSERT_TRUE(activate(other));
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::stackedAbove(other.winId(), main.winId()); }, 10000));
    main.raise(), main.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return test::stackedAbove(main.winId(), other.winId()); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor(overMain, 10000));
    EXPECT_TRUE(test::press(question, "Not Now"));
    EXPECT_TRUE(controller->defaults().boolean(asked));
    EXPECT_EQ(platform::LoginItem::status(controller->autostartConfigHome), platform::LoginItem::Status::notRegistered);
}

// The login question falls due at every moment around the opening of Windows: just before it, in the same
// turn, just after, while the stream window is shown but not yet reported active, and after it is. However
// the window manager's reports fall, the question never shows while a stream window exists and never becomes
// the active window after the stream window was; once the stream window is gone it shows, over the main window.
TEST_F(BoxControllerTest, TheLoginQuestionFallingDueAsWindowsOpensNeverTakesItsKeyboard) {
    ModalKeyboard modalKeyboard;  // as the app has
    QWidget main;
    useAsMainWindow(main);
    main.show(), main.raise(), main.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return main.isActiveWindow(); }, 10000));
    plugIn();
    AppLaunch::atLogin = false;
    pass();
    ASSERT_TRUE(controller->paired());

    const QString text = "Open Corvane when you log in?";
    bool streamPresent = false;  // from the opening until the window is destroyed
    bool streamWasActive = false;
    std::vector<std::string> faults;
    const auto question = [&] { return BoxControllerProbe::loginQuestion(*controller); };
    const auto check = [&](const char* when) {
        QMessageBox* asked = question();
        if (streamPresent && asked && asked->isVisible()) faults.push_back(std::string("shown with a stream window, ") + when);
    };
    QObject::connect(qApp, &QGuiApplication::focusWindowChanged, &main, [&](QWindow* focus) {
        QWidget* stream = controller->engineStream().window();
        if (stream && focus == stream->windowHandle()) streamWasActive = true;
        QMessageBox* asked = question();
        if (streamPresent && streamWasActive && asked && focus == asked->windowHandle())
            faults.push_back("active after the stream window");
        check("at a focus change");
    });
    const auto turns = [](int count) {
        for (int i = 0; i < count; ++i) QCoreApplication::processEvents();
    };
    enum class Order { dueThenOpen, openThenDue, dueOnceShown, dueOnceActive, dueThenOpenOnceActive };
    const Order orders[] = {Order::dueThenOpen, Order::openThenDue, Order::dueOnceShown, Order::dueOnceActive,
                            Order::dueThenOpenOnceActive};
    for (int round = 0; round < 15; ++round) {
        const Order order = orders[round % 5];
        const int between = round / 5 * 2;  // 0, 2, 4 turns of the event loop between the two steps
        SCOPED_TRACE("round " + std::to_string(round));
        streamWasActive = false;
        BoxControllerProbe::offerLoginItem(*controller);  // due 3 s later on the controller's clock
        const auto due = [&] { clock.advance(3.1); check("as it fell due"); };
        const auto open = [&] {
            streamPresent = true;
            controller->openEngineWindow();
            check("as Windows opened");
        };
        switch (order) {
        case Order::dueThenOpen: due(), turns(between), open(); break;
        case Order::openThenDue: open(), turns(between), due(); break;
        case Order::dueOnceShown:
            open();
            ASSERT_TRUE(QTest::qWaitFor([&] { return controller->engineStream().window()->isVisible(); }, 10000));
            due();
            break;
        case Order::dueOnceActive:
            open();
            ASSERT_TRUE(QTest::qWaitFor([&] { return streamWasActive; }, 10000));
            due();
            break;
        case Order::dueThenOpenOnceActive:
            due();
            ASSERT_TRUE(QTest::qWaitFor([&] { return question() && question()->isActiveWindow(); }, 10000));
            turns(between);
            open();
            break;
        }
        ASSERT_TRUE(streaming(true));
        ASSERT_TRUE(QTest::qWaitFor([&] { return streamWasActive; }, 10000));
        check("while Windows was open");
        QPointer<QWidget> window = controller->engineStream().window();
        EXPECT_TRUE(QTest::qWaitFor([&] {  // and keeps the keyboard, as the X server has it and the app
            return window->isActiveWindow() && test::runCommand("xdotool getwindowfocus -f").output ==
                                                   std::to_string(window->winId()) + "\n";
        }, 10000));
        controller->closeSession();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !window; }, 10000));
        streamPresent = false;
        EXPECT_EQ(faults, std::vector<std::string>{});
        faults.clear();
        // No stream window left: the question shows, over the main window; closed unanswered for the next round.
        ASSERT_TRUE(QTest::qWaitFor([&] { return question() && question()->isVisible(); }, 10000));
        EXPECT_EQ(question()->parentWidget(), &main);
        question()->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !question(); }, 10000));
        ASSERT_TRUE(streaming(false));
    }
    EXPECT_FALSE(controller->defaults().object("Corvane.AskedLoginItem"));
}

TEST_F(BoxControllerTest, AConfirmedPowerActionEndsTheStreamFirst) {
    plugIn(true);
    pass();
    ASSERT_TRUE(streaming(true));
    // After a restart Windows reopens when the box is back; a shut-down is not undone by automatic wakes.
    const struct { std::string action; QString button; } rows[] = {{"restart", "Restart"}, {"shutdown", "Shut Down"}};
    for (const auto& row : rows) {
        const auto wakes = test::logCount("wake on LAN (automatic)");
        controller->confirmBoxPower(row.action);
        ASSERT_TRUE(test::press(test::alert(row.action == "restart" ? "Restart the box?" : "Shut down the box?"), row.button));
        ASSERT_TRUE(QTest::qWaitFor([&] { return logged("box " + row.action + " requested") == 1; }, 10000));
        EXPECT_FALSE(controller->streamOpen());
        // Windows winds down: the agent answers on, and Windows does not reopen on a box on its way down.
        for (int i = 0; i < 3; ++i) pass();
        EXPECT_EQ(controller->phase().kind, Kind::ready);
        EXPECT_FALSE(controller->streamWindowExists());
        ASSERT_TRUE(box->power().carryOutRequest());
        EXPECT_EQ(box->power().ports(), Ports::stopped);
        pass();
        EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
        if (row.action == "restart") {
            ASSERT_TRUE(QTest::qWaitFor([&] { return box->power().ports() == Ports::open; }, 5000));
            pass();
            EXPECT_TRUE(streaming(true));
            EXPECT_EQ(logged("reopening Windows after the box restarted"), 1);
        } else {
            // Held through the minute and an unplugging; plugged in anew, the box is woken again.
            for (int i = 0; i < 60; ++i) pass();
            cable->address.reset();
            pass();
            EXPECT_EQ(test::logCount("wake on LAN (automatic)"), wakes);
            EXPECT_EQ(box->power().ports(), Ports::stopped);
            cable->address = address;
            pass();
            EXPECT_TRUE(QTest::qWaitFor([&] { return test::logCount("wake on LAN (automatic)") == wakes + 1; }, 5000));
        }
    }
    EXPECT_EQ(box->agent().powerActions(), (std::vector<std::string>{"restart", "shutdown"}));
}

// A restart Windows refuses: the agent answers on, and Windows reopens once the box has had its time to go.
TEST_F(BoxControllerTest, ARestartTheBoxDoesNotCarryOutEndsItsWait) {
    plugIn(true);
    pass();
    ASSERT_TRUE(streaming(true));
    controller->confirmBoxPower("restart");
    ASSERT_TRUE(test::press(test::alert("Restart the box?"), "Restart"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return logged("box restart requested") == 1; }, 10000));
    pass();
    rig.clock.advance(PowerRequest::carryOutSeconds - 2);  // the last second of its wait
    pass();
    EXPECT_FALSE(controller->streamWindowExists());
    pass();
    EXPECT_TRUE(streaming(true));
}

// A shut-down asked for from Corvane holds, with wake on, through the seconds the agent answers on and the
// whole wake window after the box went quiet: no wake packet goes out. Each way back ends the hold, and the
// automatic wakes come again: the user asking for the box (Open Windows while it still answers, Wake Box
// once it is gone), the cable plugged in anew, or the box found again after it was gone (its power button).
TEST_F(BoxControllerTest, AShutDownHoldsUntilTheBoxIsAskedForOrComesBack) {
    plugIn();
    pass();  // paired, and the box's wake address learnt
    const auto wakesFor = [](const std::string& reason) { return test::logCount("wake on LAN (" + reason + "): "); };
    const auto wakes = [&] { return wakesFor("automatic") + wakesFor("requested"); };
    const struct {
        const char* way;
        std::function<void()> whileAnswering;  // after the agent answered a few passes
        int quietPasses;                       // then the box goes quiet: passes with no wake
        std::function<void()> back;            // then a pass sends an automatic wake
    } rows[] = {
        {"Open Windows", [&] { controller->openEngineWindow(); EXPECT_TRUE(streaming(true)); }, 0,
         [&] { EXPECT_TRUE(streaming(false)); }},  // the stream ends as the box goes
        {"Wake Box", {}, 125, [&] {
             box->power().setPorts(Ports::stopped);  // one the packets do not wake: the wakes go on
             controller->wakeBoxNow();
             EXPECT_TRUE(QTest::qWaitFor([&] { return wakesFor("requested") == 1; }, 5000));
         }},
        {"the power button", {}, 125, [&] { box->power().setPorts(Ports::open), pass(), box->power().setPorts(Ports::stopped); }},
        {"the cable plugged in anew", {}, 60, [&] { cable->address.reset(), pass(), cable->address = address; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.way);
        // Every packet sent so far has reached the box (where it can hear them): none wakes it later.
        ASSERT_TRUE(!box->power().wakeListening() ||
                    QTest::qWaitFor([&] { return box->power().wakePackets() == 2 * wakes(); }, 5000));
        box->power().setPorts(Ports::open);
        pass();  // found; after the dropped stream of the row before, Windows reopens
        ASSERT_TRUE(!controller->streamWindowExists() || streaming(true));
        const auto asked = test::logCount("box shutdown requested") + 1;
        controller->confirmBoxPower("shutdown");
        ASSERT_TRUE(test::press(test::alert("Shut down the box?"), "Shut Down"));
        ASSERT_TRUE(QTest::qWaitFor([&] { return test::logCount("box shutdown requested") == asked; }, 10000));
        const auto before = wakes();
        for (int i = 0; i < 3; ++i) pass();
        if (row.whileAnswering) row.whileAnswering();
        ASSERT_TRUE(box->power().carryOutRequest());
        for (int i = 0; i < row.quietPasses; ++i) pass();
        EXPECT_EQ(wakes(), before);
        EXPECT_EQ(box->power().ports(), Ports::stopped);
        row.back();
        const auto automatic = wakesFor("automatic");
        pass();
        EXPECT_TRUE(QTest::qWaitFor([&] { return wakesFor("automatic") == automatic + 1; }, 5000));
    }
}

TEST_F(BoxControllerTest, ABoxThatLostItsPairingIsPairedAnewOnTryAgain) {
    plugIn();
    pass();
    ASSERT_TRUE(controller->paired());
    box->host().forgetClients();  // from now on it answers that we are not paired
    controller->openEngineWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->phase().is(Kind::failed); }, 30000));
    const std::string& failure = controller->phase().message;  // around the stream window's own words
    EXPECT_TRUE(failure.starts_with("Windows didn't open (")) << failure;
    EXPECT_TRUE(failure.ends_with("). Click Try Again.")) << failure;
    EXPECT_EQ(test::logCount("engine: could not open Windows: "), 1u);
    controller->tryAgain();
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);  // not paired, rather than not answering
    EXPECT_EQ(box->agent().pins().size(), 2u);
    rig.edit([](StreamSettings& s) { s.showStats = true; });
    controller->openEngineWindow();
    controller->openEngineWindow();  // while the first opens: nothing
    ASSERT_TRUE(streaming(true));
    EXPECT_EQ(openings(), 1u);
    // The overlay's frame rate once the view is gone is 0, not none; with no window, closing does nothing.
    ASSERT_TRUE(controller->statsOverlay().engineFPS);
    controller->engineStream().tearDown();
    EXPECT_EQ(controller->statsOverlay().engineFPS(), 0);
    controller->closeSession();
    EXPECT_EQ(logged("session closed from Corvane"), 0);
}

// Another host at the box's address, with the box's unique id and a certificate of its own: the status names
// the changed certificate rather than "cancelled"; the log keeps the error's own words.
TEST_F(BoxControllerTest, AHostWhoseCertificateChangedSincePairingIsNamedInTheStatus) {
    plugIn();
    pass();
    ASSERT_TRUE(controller->paired());
    box->stop();
    auto options = box->host().options();
    options.onLaunch = nullptr;
    boxsim::StreamingHost other(options);
    other.start();
    controller->openEngineWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->phase().is(Kind::failed); }, 30000));
    EXPECT_EQ(controller->phase().message, "Windows didn't open (the box's certificate changed since pairing).");
    EXPECT_EQ(logged("engine: could not open Windows: cancelled"), 1);
}

// The tray's first line in each phase.
TEST_F(BoxControllerTest, MenuStatusForEachPhase) {
    const std::pair<Phase, std::string> rows[] = {
        {Phase::needsNetworkSetup("x"), "Setup needed"}, {Phase::boxNotReady("x"), "Box is starting up"},
        {Phase::failed("x"), "Something went wrong"}, {Phase::of(Kind::starting), "Starting..."},
        {Phase::of(Kind::waitingForBox), "Box not connected"}, {Phase::of(Kind::cableNoAddress), "Box not connected"},
        {Phase::of(Kind::boxNotAnswering), "Box not answering"}, {Phase::of(Kind::pairing), "Pairing..."},
        {Phase::of(Kind::ready), "Ready"}, {Phase::of(Kind::streaming), "Windows is open"}};
    for (const auto& [phase, text] : rows) {
        BoxControllerProbe::apply(*controller, {.phase = phase});
        EXPECT_EQ(controller->menuStatus(), text) << phase.description();
    }
}

TEST_F(BoxControllerTest, AutomaticWakesComeEveryTwentySecondsForTwoMinutesAndWakeTheBox) {
    plugIn();
    if (!box->power().wakeListening()) GTEST_SKIP() << "the wake ports 9 and 7 need root";
    pass();  // learns the box's wake address
    ASSERT_EQ(controller->wakeMACs(), std::vector<std::string>{"02:00:00:00:00:01"});
    box->power().shutdown();
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::boxNotAnswering);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->power().ports() == Ports::open; }, 5000));
    EXPECT_EQ(box->power().wakePackets(), 2u);  // to port 9, then 7
    pass();
    EXPECT_EQ(controller->phase().kind, Kind::ready);
    // Stopped from 2 s later: a new 120 s window, with wakes 20, 40 ... 120 s after the first.
    box->power().setPorts(Ports::stopped);
    for (int i = 0; i < 150; ++i) pass();
    EXPECT_TRUE(QTest::qWaitFor([&] { return logged("wake on LAN (automatic): 2 packets sent") == 7; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->power().wakePackets() == 14u; }, 5000));
}

} // namespace
} // namespace corvane
