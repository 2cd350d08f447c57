#pragma once

#include "app/controller/BoxController.hpp"
#include "app/controller/CableLink.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/BoxEndpoint.hpp"
#include "app/services/Clock.hpp"
#include "app/services/agent/AgentReplies.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TextLines.hpp"
#include "app/updates/UpdateManager.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/ChildProcesses.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>

// After Qt's headers: its X11 helpers leave some of Xlib's event macros defined.
#include "tests/app/window/WindowTestSupport.hpp"
#include <cstdlib>
#include <functional>
#include <memory>

namespace corvane {

// Sets the controller's published fields the way its loop would, one change signal per call.
struct BoxControllerProbe {
    struct State {
        BoxController::Phase phase = BoxController::Phase::of(BoxController::Phase::Kind::starting);
        bool linkUp = false, boxFound = false, paired = false, working = false, statusSupported = true;
        std::optional<std::string> boxName{};
        std::optional<AgentClient::Info> boxInfo{};
        std::optional<AgentClient::BoxStatus> boxStatus{};
        std::vector<std::string> wakeMACs{};
    };
    static void apply(BoxController& box, const State& s) {
        box.phase_ = s.phase, box.linkUp_ = s.linkUp, box.boxFound_ = s.boxFound, box.paired_ = s.paired;
        box.working_ = s.working, box.statusSupported_ = s.statusSupported, box.boxName_ = s.boxName;
        box.boxInfo_ = s.boxInfo, box.boxStatus_ = s.boxStatus, box.wakeMACs_ = s.wakeMACs;
        Q_EMIT box.changed();
    }
    static double wakeUntil(const BoxController& box) { return box.wakeUntil_; }
    // The one-time login question as start() schedules it, and the question while it is asked.
    static void offerLoginItem(BoxController& box) { box.offerLoginItemOnce(); }
    static QMessageBox* loginQuestion(const BoxController& box) { return box.loginQuestion_.data(); }
};

// Sets the update manager's published fields as its checks and updates would.
struct UpdateManagerProbe {
    struct State {
        UpdateManager::Status status{};
        bool showResult = false;
        std::optional<std::string> batchStep{};
        std::optional<double> progress{};
        std::optional<UpdateManager::AppUpdate> appUpdate{};
        std::vector<UpdateManager::BoxUpdate> boxUpdates{};
        bool boxNeedsSetup = false;
        std::optional<std::string> boxHostVersion{};
        std::optional<std::chrono::system_clock::time_point> lastChecked{};
        std::optional<std::string> appUpdateObstacle{};
    };
    static void apply(UpdateManager& u, const State& s) {
        u.status_ = s.status, u.showResult_ = s.showResult, u.batchStep_ = s.batchStep, u.progress_ = s.progress;
        u.appUpdate_ = s.appUpdate, u.boxUpdates_ = s.boxUpdates, u.boxNeedsSetup_ = s.boxNeedsSetup;
        u.boxHostVersion_ = s.boxHostVersion, u.lastChecked_ = s.lastChecked, u.appUpdateObstacle_ = s.appUpdateObstacle;
        Q_EMIT u.changed();
    }
};

namespace test {

// Every text a user reads in `root` now, in the widgets' order, one a line: labels ("~" before a dimmed
// one), buttons and switches (" (off)" after one that cannot be used), pop-up pickers as their choices with
// the current one in brackets. Hidden widgets and empty texts are left out.
inline std::string shownTexts(QWidget& root) {
    std::string out;
    for (QWidget* w : root.findChildren<QWidget*>()) {
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
        if (auto* lines = qobject_cast<TextLines*>(w)) text = lines->text();
        if (!text.isEmpty() && w->foregroundRole() == QPalette::PlaceholderText) text.prepend('~');
        if (auto* button = qobject_cast<QAbstractButton*>(w)) text = button->text() + (w->isEnabled() ? "" : " (off)");
        if (auto* picker = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < picker->count(); ++i)
                text += (i ? ", " : "") + (i == picker->currentIndex() ? "[" + picker->itemText(i) + "]" : picker->itemText(i));
            text += w->isEnabled() ? "" : " (off)";
        }
        if (w->isVisibleTo(&root) && !text.isEmpty()) out += text.toStdString() + "\n";
    }
    return out;
}

// The cable as the test sets it: no link until it is given the simulated box's address, the bridge's
// service, a self-assigned address; reads are counted. The loop is only stepped by hand.
class ScriptedCable final : public CableLink {
public:
    std::optional<std::string> address;
    NetworkLink::BridgeStatus bridge{std::string("Thunderbolt Bridge"), true, true};
    bool selfAssigned = false;
    int bridgeReads = 0, linkReads = 0;
    std::optional<std::string> linkAddress() override { return ++linkReads, address; }
    bool bridgeHasSelfAssignedAddress() override { return selfAssigned; }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token) override { return ++bridgeReads, bridge; }
    void fixBridge(const NetworkLink::BridgeStatus&, std::stop_token) override {}
    void assignLinkAddressManually(std::stop_token) override {}
};

// The one application of a test program: offscreen, or with `x11` the program's shared virtual display
// with openbox and a session bus (set once the app stands, before anything reads it).
inline QApplication& uiApp(bool x11 = false) {
    static const TempDir home;  // removed as the program exits
    static int argc = 1;
    static char name[] = "ui-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [x11] {
        for (const char* var : {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "HOME"})
            ::setenv(var, home.path().c_str(), 1);
        if (x11) {
            QApplication* shared = &WindowEnvironment::ensure();
            startSessionBus();  // so the tray can be read over D-Bus
            return shared;
        }
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// One controller, as the app builds it, over a manual clock and a defaults file of the test's own.
class UiFixture : public ::testing::Test {
protected:
    explicit UiFixture(bool x11 = false) {
        uiApp(x11);
        ::setenv(BoxEndpoint::overrideVariable, address.c_str(), 1);
        ::setenv("CORVANE_VERSION", "1.0", 1);
        defaults = std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json");
        auto owned = std::make_unique<ScriptedCable>();
        cable = owned.get();
        box = std::make_unique<BoxController>(
            BoxController::Environment{clock, pool, defaults, std::move(owned), dir.path() / "keys"});
        box->autostartConfigHome = dir.path() / "config";
    }

    void setBox(const BoxControllerProbe::State& state) { BoxControllerProbe::apply(*box, state); }
    void edit(const std::function<void(StreamSettings&)>& change) {
        StreamSettings s = box->settings();
        change(s), box->setSettings(s);
    }
    // Every window a user sees in every state it has: the main window in each phase (with the box's load and
    // update rows), the settings window on each tab, the advanced sheet and the acknowledgements. `visit`
    // shows each and gets its name; `built` runs once they all exist.
    void everyWindow(const std::function<void(QWidget&, const std::string&)>& visit, const std::function<void()>& built = {}) {
        using Kind = BoxController::Phase::Kind;
        MainWindow main(*box);
        SettingsWindow settings(*box);
        AdvancedStreamSheet sheet(*box, nullptr);
        Acknowledgements::show();
        Acknowledgements::window()->hide();
        if (built) built();
        for (int k = 0; k <= static_cast<int>(Kind::streaming); ++k) {
            setBox({.phase = BoxController::Phase{static_cast<Kind>(k), k < 3 ? "The box said so, at some length." : ""},
                    .linkUp = k > 4, .boxFound = k > 6, .paired = k > 7, .boxName = k > 6 ? std::optional<std::string>("Den") : std::nullopt,
                    .boxStatus = k > 6 ? std::optional(load) : std::nullopt});
            setUpdates({.status = k % 2 ? UpdateManager::Status::idle() : UpdateManager::Status::updating("Downloading"),
                        .progress = 0.4, .appUpdate = UpdateManager::AppUpdate{"9.9", std::nullopt, {}}, .boxUpdates = {{"host", "1.1"}}});
            visit(main, "main " + std::to_string(k));
        }
        main.hide();
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            visit(settings, settings.tabs()->tabText(tab).toStdString());
        }
        settings.hide();
        for (auto [window, name] : {std::pair<QWidget*, const char*>{&sheet, "advanced"}, {Acknowledgements::window(), "acknowledgements"}}) {
            visit(*window, name);
            window->hide();
        }
    }
    const AgentClient::BoxStatus load{.cpuName = {}, .gpuName = "GPU", .cpuPercent = 13, .gpuPercent = 95, .memoryUsed = 8ull << 30,
                                      .memoryTotal = 32ull << 30, .diskFree = 400ull << 30, .diskTotal = 1000ull << 30,
                                      .temperatureC = {}};
    void setUpdates(const UpdateManagerProbe::State& state) { UpdateManagerProbe::apply(box->updates(), state); }
    static BoxController::Phase phase(BoxController::Phase::Kind kind) { return BoxController::Phase::of(kind); }

    TempDir dir;
    std::string address = uniqueLoopbackAddress();  // where the box would answer; nothing does unless started
    ScriptedCable* cable = nullptr;
    ManualClock clock;
    AppPool pool;
    std::shared_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<BoxController> box;
};

} // namespace test
} // namespace corvane
