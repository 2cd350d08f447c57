#pragma once

#include "app/controller/CableLink.hpp"
#include "app/controller/PowerRequest.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/NetworkLink.hpp"
#include "app/services/ShortcutAction.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/services/agent/AgentClient.hpp"

#include <QObject>
#include <QPointer>
#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMessageBox;
class QWidget;

namespace corvane::platform {
class UserDefaults;
}
namespace corvane::stream {
class BoxHost;
}

namespace corvane {

class ControllerWatcher;
class EngineStream;
class SharingManager;
class ShortcutRecorder;
class StatsOverlay;
class UpdateManager;

// The application's one model of the box. It owns every long-lived part of the app (controller list,
// sharing, settings, overlay, shortcut recorder, updates, the agent client, the engine's box handle and
// the stream window), holds the state every view shows, and runs the once-a-second loop that finds the
// box, pairs the engine, opens Windows and reopens it after a drop.
//
// Main thread only, no locks. Box and engine calls run on the app pool and are awaited; after every await
// the state is read afresh. changed() is emitted once per assignment that changes a published field.
class BoxController final : public QObject {
    Q_OBJECT

public:
    struct Phase {
        enum class Kind {
            needsNetworkSetup, boxNotReady, failed, starting, waitingForBox, cableNoAddress, boxNotAnswering,
            pairing, ready, streaming
        };
        Kind kind = Kind::starting;
        std::string message;  // only for the first three

        static Phase needsNetworkSetup(std::string message) { return {Kind::needsNetworkSetup, std::move(message)}; }
        static Phase boxNotReady(std::string message) { return {Kind::boxNotReady, std::move(message)}; }
        static Phase failed(std::string message) { return {Kind::failed, std::move(message)}; }
        static Phase of(Kind kind) { return {kind, {}}; }
        bool is(Kind other) const { return kind == other; }
        bool operator==(const Phase&) const = default;
        // The case name, with the message in parentheses and quotes for the three that carry one:
        // failed("Pairing with the box did not finish. Click Try Again.")
        std::string description() const;
    };

    // What the controller is built on; the app passes the real ones, tests their own.
    struct Environment {
        Clock& clock;
        AppPool& pool;
        std::shared_ptr<platform::UserDefaults> defaults;
        std::unique_ptr<CableLink> cable;
        // Where the client identity's key files live; empty: the standard place.
        std::filesystem::path keyFolder;
    };

    explicit BoxController(Environment environment, QObject* parent = nullptr);
    ~BoxController() override;

    // Published state.
    const Phase& phase() const { return phase_; }
    const std::optional<AgentClient::Info>& boxInfo() const { return boxInfo_; }
    const std::optional<AgentClient::BoxStatus>& boxStatus() const { return boxStatus_; }
    bool showAdvancedStream() const { return showAdvancedStream_; }
    void setShowAdvancedStream(bool show);
    bool launchAtLogin() const { return launchAtLogin_; }
    bool loginNeedsApproval() const { return false; }  // the desktop never asks
    const std::vector<std::string>& wakeMACs() const { return wakeMACs_; }
    std::optional<Clock::WallTime> lastWakeSent() const { return lastWakeSent_; }
    bool linkUp() const { return linkUp_; }
    bool boxFound() const { return boxFound_; }
    bool paired() const { return paired_; }
    const std::optional<std::string>& boxName() const { return boxName_; }
    bool working() const { return working_; }
    bool statusSupported() const { return statusSupported_; }
    bool askingStatus() const { return askingStatus_; }
    bool accessibilityTrusted() const { return true; }  // X11 lets the app see its own keys
    const StreamSettings& settings() const { return settings_; }
    // The name the box records this computer under when pairing, and so the name of its Send to entry on
    // Windows: this computer's name, "Linux" without one, then " (Corvane)".
    static std::string pairingName();
    static std::string pairingName(const std::optional<std::string>& computerName);
    // Saves, re-applies the overlay and appearance and tells sharing, when the value differs.
    void setSettings(StreamSettings settings);

    // Owned parts.
    ControllerWatcher& controllers() { return *controllers_; }
    SharingManager& sharing() { return *sharing_; }
    StatsOverlay& statsOverlay() { return *statsOverlay_; }
    ShortcutRecorder& shortcutRecorder() { return *shortcutRecorder_; }
    UpdateManager& updates() { return *updates_; }
    const AgentClient& agent() const { return agent_; }
    EngineStream& engineStream() { return *engineStream_; }
    Clock& clock() { return clock_; }
    AppPool& pool() { return pool_; }
    platform::UserDefaults& defaults() { return *defaults_; }
    CableLink& cable() { return *cable_; }

    // One short text for the tray menu.
    std::string menuStatus() const;

    // Runs once: routes the engine log, logs the start, tidies up, schedules the login question, applies
    // the appearance and starts the loop.
    void start();
    // Quit-time clean-up: sharing and overlay stop; an open stream window closes with a log line.
    void shutdown();

    // The stream.
    void openEngineWindow();
    void closeSession();
    QCoro::Task<> stopStreamAndWait();
    bool streamOpen() const;
    // A stream window is opening, open, or closed but not yet gone.
    bool streamWindowExists() const;

    // The user's actions.
    void wakeBoxNow();
    bool canWake() const { return !wakeMACs_.empty() && !boxFound_; }
    std::optional<std::int64_t> boxSleepMinutes() const;
    void setBoxSleep(std::int64_t minutes);
    void confirmBoxPower(const std::string& action);
    void fixNetwork();
    void connectManually();
    void tryAgain();
    void forgetBox();
    void setLaunchAtLogin(bool on);
    void refreshLoginItem();
    bool hasCustomShortcuts() const;
    std::optional<std::string> setShortcut(ShortcutAction action, const KeyShortcut& shortcut);
    void resetShortcut(ShortcutAction action);

    // The executable the login item starts: the install folder's program, which updates keep, else the real
    // path of this program (InstallFolder::programToStart); tests set their own.
    std::filesystem::path executable;
    // Where the login item's entry lives; empty: $XDG_CONFIG_HOME.
    std::filesystem::path autostartConfigHome;
    // The app's main window: the login question is stacked over it. Null: none.
    QPointer<QWidget> mainWindow;
    // Whether the tray shows Corvane's icon, where a login start waits; unset: it does.
    std::function<bool()> trayShown;

    // One pass of the loop; public for tests that step it by hand.
    QCoro::Task<> tick();

Q_SIGNALS:
    void changed();
    // A stream window began to open or is gone (streamWindowExists() changed), or the app began to quit.
    void streamWindowChanged();

private:
    friend struct BoxControllerProbe;  // tests set published fields directly
    template <class T> void publish(T& field, T value) {
        if (field == value) return;
        field = std::move(value);
        Q_EMIT changed();
    }
    void setPhase(Phase phase);
    void applyStatsOverlay();
    void applyAppearance();
    std::optional<double> engineLatency() const;

    QCoro::Task<> runLoop();
    QCoro::Task<> checkBridgeIfDue();
    void setBoxInfo(std::optional<AgentClient::Info> info);
    void refreshStatusIfDue();
    QCoro::Task<> askStatus();
    void wakeIfDue();

    static constexpr const char* kServiceNotAnswering = "Waiting for the box's streaming service to answer.";
    QCoro::Task<bool> pairEngine();
    // Whether the box's streaming service counts this computer as paired; none when it does not answer.
    QCoro::Task<std::optional<bool>> askPaired();
    QCoro::Task<> openTask();

    void sendWake(std::string reason);
    QCoro::Task<> sendWakeTask(std::string reason, std::vector<std::string> macs);
    QCoro::Task<> setBoxSleepTask(std::int64_t minutes);
    QCoro::Task<> confirmBoxPowerTask(std::string action);
    QCoro::Task<> fixNetworkTask();
    QCoro::Task<> connectManuallyTask();
    QCoro::Task<> forgetBoxTask();
    void offerLoginItemOnce();
    QCoro::Task<> offerLoginItemTask();
    void removeOldEngineApp();
    // A modal alert opened and awaited; returns the button pressed (0 for the first), -1 when closed. An
    // alert the user did not ask for (`unasked`) is stacked over the main window and kept back while a stream
    // window exists (UnaskedAlert); `answered` then runs once the user pressed a button or closed it.
    QCoro::Task<int> ask(QPointer<QMessageBox>& slot, QString title, QString text, QString informative,
                         QStringList buttons, int icon, bool unasked = false, std::function<void()> answered = {});
    void followStreamWindow();

    Clock& clock_;
    AppPool& pool_;
    std::shared_ptr<platform::UserDefaults> defaults_;
    std::shared_ptr<CableLink> cable_;  // shared with pool work that may outlive the controller

    Phase phase_ = Phase::of(Phase::Kind::starting);
    std::optional<AgentClient::Info> boxInfo_;
    std::optional<AgentClient::BoxStatus> boxStatus_;
    bool showAdvancedStream_ = false;
    bool statusSupported_ = true;
    int statusTicks_ = 0;
    bool launchAtLogin_ = false;
    std::vector<std::string> wakeMACs_;
    std::optional<Clock::WallTime> lastWakeSent_;
    std::unique_ptr<ControllerWatcher> controllers_;
    std::unique_ptr<SharingManager> sharing_;
    bool linkUp_ = false;
    bool boxFound_ = false;
    bool paired_ = false;
    std::optional<std::string> boxName_;
    bool working_ = false;
    StreamSettings settings_;
    std::unique_ptr<StatsOverlay> statsOverlay_;
    std::unique_ptr<ShortcutRecorder> shortcutRecorder_;
    std::unique_ptr<UpdateManager> updates_;
    AgentClient agent_;
    std::shared_ptr<stream::BoxHost> streamHost_;
    std::unique_ptr<EngineStream> engineStream_;
    bool engineOpening_ = false;
    QPointer<QWidget> streamWindow_;  // the last stream window, until it is destroyed
    bool quitting_ = false;
    bool loopStarted_ = false;
    bool busy_ = false;
    bool resumeWanted_ = false;     // a dropped session: reopened at most 3 times a run
    int resumeAttempts_ = 0;
    bool autoLaunchArmed_ = true;   // opened once per plug-in, whatever the drops spent
    bool reopenAfterRestart_ = false;  // a restart the user confirmed: Windows comes back with the box, every time
    int pairFailures_ = 0;
    // Intervals on the uptime clock; "the distant past" is minus infinity.
    double lastBridgeCheck_;
    NetworkLink::BridgeStatus bridge_{std::string(NetworkLink::bridgeServiceName), true, true};
    std::optional<double> selfAssignedSince_;
    double wakeUntil_;
    double lastAutoWake_;
    bool askingStatus_ = false;  // a status request runs beside the loop
    PowerRequest powerRequest_;  // a restart or shut-down the user asked for, until the box is back
    std::optional<std::string> appearance_;  // the app's own appearance, none: the desktop's

    QPointer<QMessageBox> powerAlert_;
    QPointer<QMessageBox> powerFailure_;
    QPointer<QMessageBox> loginQuestion_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

} // namespace corvane
