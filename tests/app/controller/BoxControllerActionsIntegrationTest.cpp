#include "app/controller/AppLaunch.hpp"
#include "app/services/Log.hpp"
#include "tests/app/controller/ControllerRig.hpp"
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;
using Args = std::vector<std::string>;
using test::alert, test::alerts, test::press;

// The real cable over stand-ins: pkexec and nmcli/ip record each run as its arguments, one a line, then "--".
class BoxControllerActionsTest : public ::testing::Test {
protected:
    BoxControllerActionsTest() {
        const std::string d = dir.path().string();
        for (const char* tool : {"nmcli", "ip", "pkexec"})
            test::writeScript(dir.path() / tool, "printf '%s\\n' \"$@\" -- >> '" + d + "/" + tool + ".runs'\n" +
                                               (tool == std::string("pkexec") ? "exec \"$@\"\n" : ""));
    }
    std::vector<Args> runs(const char* tool) const {
        std::vector<Args> result(1);
        std::ifstream in(dir.path() / (std::string(tool) + ".runs"));
        for (std::string line; std::getline(in, line);)
            line == "--" ? void(result.emplace_back()) : result.back().push_back(line);
        result.pop_back();
        return result;
    }
    // A second controller on the same defaults, as a later launch of the app.
    std::unique_ptr<BoxController> relaunch() {
        auto controller = std::make_unique<BoxController>(BoxController::Environment{
            clock, rig.pool, std::make_shared<platform::UserDefaults>(rig.dir.path() / "defaults.json"),
            CableLink::system(tools()), rig.dir.path() / "keys"});
        controller->autostartConfigHome = rig.dir.path() / "config";
        controller->executable = "/usr/bin/true";
        return controller;
    }

    NetworkLink::Tools tools() const {
        return {(dir.path() / "nmcli").string(), (dir.path() / "ip").string(), (dir.path() / "pkexec").string(), {}};
    }

    test::TempDir dir;
    test::ControllerRig rig{CableLink::system(tools())};
    ManualClock& clock = rig.clock;
    BoxController& controller = *rig.controller;
};

TEST_F(BoxControllerActionsTest, PowerAlertsAskOnceCancelSendsNothingAndAnOldAgentGetsTheUpdateHint) {
    rig.box->start();
    const struct { std::string action; QString question, informative, button, failed; int oldAgentStatus; } rows[] = {
        {"restart", "Restart the box?",
         "Windows restarts and Corvane reconnects by itself when it is back, in about a minute. Save your work in "
         "Windows first: anything unsaved may be lost.",
         "Restart", "The box did not restart", 404},
        {"shutdown", "Shut down the box?",
         "To turn it on again, press its power button, or Corvane wakes it over your network if wake is set up. "
         "Save your work in Windows first: anything unsaved may be lost.",
         "Shut Down", "The box did not shut down", 405},
    };
    const auto sent = [&] { return rig.box->agent().seen("POST /v1/power/{action}").size(); };
    std::size_t requests = 0;
    for (const auto& row : rows) {
        controller.confirmBoxPower(row.action);
        QMessageBox* box = alert(row.question);
        ASSERT_TRUE(box) << row.action;
        EXPECT_EQ(box->informativeText().toStdString(), row.informative.toStdString());
        controller.confirmBoxPower(row.action);  // raises the one shown
        EXPECT_EQ(alerts().size(), 1u);
        ASSERT_TRUE(press(box, "Cancel"));
        EXPECT_EQ(sent(), requests);
        rig.box->agent().script("POST /v1/power/{action}", {.status = row.oldAgentStatus, .body = "{}"});
        controller.confirmBoxPower(row.action);
        ASSERT_TRUE(press(alert(row.question), row.button));
        box = alert(row.failed);
        ASSERT_TRUE(box) << row.action;
        EXPECT_EQ(box->informativeText().toStdString(), "Update the box software to 0.4.0 or newer (Settings > Updates).");
        EXPECT_TRUE(press(box, "OK"));
        // The log says what failed, with the box's own answer.
        EXPECT_NE(Log::tail(3).find(" box " + row.action + " failed: Box answered " + std::to_string(row.oldAgentStatus) + ": "),
                  std::string::npos);
        EXPECT_EQ(sent(), ++requests);
        EXPECT_EQ(rig.box->agent().seen("POST /v1/power/{action}").back().segments.back(), row.action);
    }
    // A refusal of 1 MiB reaches the alert cut short.
    boxsim::Agent::Reply huge{.status = 500, .body = ""};
    huge.hugeBytes = 1 << 20;
    rig.box->agent().script("POST /v1/power/{action}", huge);
    controller.confirmBoxPower("restart");
    ASSERT_TRUE(press(alert("Restart the box?"), "Restart"));
    QMessageBox* box = alert("The box did not restart");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->informativeText(), "Box answered 500: " + QString(582, 'x') + QChar(0x2026));
    EXPECT_TRUE(press(box, "OK"));
}

TEST_F(BoxControllerActionsTest, BothRepairsRunOnceAsAdministratorWhenPressedTwice) {
    const struct { void (*press)(BoxController&); const char* tool; std::vector<Args> calls; } rows[] = {
        {[](BoxController& c) { c.fixNetwork(); }, "nmcli",
         {{"connection", "modify", "Thunderbolt Bridge", "connection.autoconnect", "yes"},
          {"connection", "modify", "Thunderbolt Bridge", "ipv4.method", "auto"},
          {"connection", "up", "Thunderbolt Bridge"}}},
        {[](BoxController& c) { c.connectManually(); }, "ip", {{"address", "add", "10.77.0.2/24", "dev", "thunderbolt0"}}},
    };
    std::size_t admin = 0;
    for (const auto& row : rows) {
        row.press(controller);
        row.press(controller);
        EXPECT_TRUE(controller.working());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !controller.working(); }, 10000)) << row.tool;
        const auto pkexec = runs("pkexec");
        ASSERT_EQ(pkexec.size(), ++admin) << row.tool;
        EXPECT_EQ(Args(pkexec.back().begin(), pkexec.back().begin() + 2), (Args{"/bin/sh", "-c"}));
        EXPECT_EQ(runs(row.tool), row.calls);
    }
    EXPECT_EQ(controller.phase().kind, Kind::waitingForBox);
    // A dismissed password prompt leaves the setup text.
    test::writeScript(dir.path() / "pkexec", "exit 126\n");
    controller.fixNetwork();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller.working(); }, 10000));
    EXPECT_EQ(controller.phase(), BoxController::Phase::needsNetworkSetup("The password prompt was cancelled."));
}

TEST_F(BoxControllerActionsTest, SleepZeroIsSentAsZeroAndAShortcutOfTheOtherActionIsRefused) {
    rig.box->start();
    controller.setBoxSleep(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller.boxSleepMinutes() == 0; }, 10000));
    const auto sent = rig.box->agent().seen("POST /v1/settings");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, R"({"unplugged_sleep_minutes":0})");
    EXPECT_NE(Log::tail(5).find(" box sleep when unplugged set to 0 minutes\n"), std::string::npos);
    // A refused setting leaves the value as it was and says so in the log.
    rig.box->agent().script("POST /v1/settings", {.status = 500, .body = R"({"error":"busy"})"});
    controller.setBoxSleep(15);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Log::tail(3).find(" box sleep setting failed: Box answered 500: ") != std::string::npos; }, 10000));
    EXPECT_EQ(controller.boxSleepMinutes(), 0);
    const StreamSettings before = controller.settings();
    EXPECT_TRUE(controller.setShortcut(ShortcutAction::endSession, KeyShortcut::defaultReleaseMouse()));
    EXPECT_TRUE(controller.setShortcut(ShortcutAction::releaseMouse, KeyShortcut::defaultEndSession()));
    EXPECT_EQ(controller.settings(), before);
}

// Start-up: a copy of the old engine app is ended and removed, nothing else; the login question comes 3 s
// after a start by hand, once, and never at login or with the item on.
TEST_F(BoxControllerActionsTest, StartUpEndsTheOldEngineAppAndAsksAboutLoginOnce) {
    const auto data = dir.path() / "data";
    const auto old = data / "Corvane" / "StreamEngine.app";
    std::filesystem::create_directories(old / "Contents" / "MacOS");
    std::filesystem::copy_file("/bin/sleep", old / "Contents" / "MacOS" / "sleep");
    const auto spawn = [](const std::filesystem::path& program) {
        const pid_t pid = fork();
        if (pid == 0) execl(program.c_str(), "sleep", "300", static_cast<char*>(nullptr)), _exit(127);
        return pid;
    };
    const pid_t inside = spawn(old / "Contents" / "MacOS" / "sleep");
    const pid_t outside = spawn("/bin/sleep");
    const auto runs = [](pid_t pid, const std::filesystem::path& program) {
        return QTest::qWaitFor([&] {
            std::error_code error;
            return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) ==
                   std::filesystem::canonical(program);
        }, 5000);
    };
    ASSERT_TRUE(runs(inside, old / "Contents" / "MacOS" / "sleep"));
    ASSERT_TRUE(runs(outside, "/bin/sleep"));
    const std::string savedData = getenv("XDG_DATA_HOME") ? getenv("XDG_DATA_HOME") : "";
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    controller.executable = "/usr/bin/true";
    AppLaunch::atLogin = true;
    controller.start();
    setenv("XDG_DATA_HOME", savedData.c_str(), 1);
    int status = 0;
    const bool insideEnded = QTest::qWaitFor([&] { return waitpid(inside, &status, WNOHANG) == inside; }, 5000);
    EXPECT_TRUE(insideEnded);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(waitpid(outside, &status, WNOHANG), 0);  // still running
    // Only a child not yet reaped is signalled: a reaped one's pid may belong to another program by now.
    kill(outside, SIGKILL), waitpid(outside, nullptr, 0);
    if (!insideEnded) kill(inside, SIGKILL), waitpid(inside, nullptr, 0);
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_TRUE(std::filesystem::exists(data / "Corvane"));
    clock.advance(4);
    EXPECT_TRUE(alerts().empty());  // at login
    rig.controller.reset();
    AppLaunch::atLogin = false;
    // Later launches by hand on the same defaults: with the item on; asked; never again.
    for (int launch = 0; launch < 3; ++launch) {
        platform::LoginItem::set(launch == 0, "/usr/bin/true", rig.dir.path() / "config");
        auto later = relaunch();
        later->trayShown = [] { return false; };  // a login start would keep the window: no tray is promised
        later->start();
        clock.advance(2.9);
        EXPECT_TRUE(alerts().empty());
        clock.advance(0.2);
        ASSERT_EQ(alerts().size(), launch == 1 ? 1u : 0u) << launch;
        if (launch != 1) continue;
        QMessageBox* box = alerts()[0];
        EXPECT_EQ(box->text().toStdString(), "Open Corvane when you log in?");
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        EXPECT_EQ(box->informativeText().toStdString(),
                  "If this computer restarts or shuts down unexpectedly, Corvane starts again and reopens Windows as "
                  "soon as the box is connected. You can change this in Settings > General.");
        EXPECT_TRUE(press(box, "Not Now"));
        EXPECT_FALSE(later->launchAtLogin());
    }
}

} // namespace
} // namespace corvane
