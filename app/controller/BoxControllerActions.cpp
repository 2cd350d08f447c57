// What the user asks of the box controller: wake, sleep, power, network repair, starting over, the login
// item, the stream shortcuts, and the start-up tidy-up.
#include "app/controller/BoxController.hpp"
#include "app/window/EngineStream.hpp"

#include "app/controller/AppLaunch.hpp"
#include "app/controller/UnaskedAlert.hpp"
#include "app/services/Folders.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "app/services/ShownText.hpp"
#include "app/services/WakeOnLAN.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/login/LoginItem.hpp"
#include "platform/system/SystemInfo.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QCoroSignal>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace corvane {
namespace {

constexpr const char* kAskedLoginItemKey = "Corvane.AskedLoginItem";
constexpr const char* kSaveWork = " Save your work in Windows first: anything unsaved may be lost.";

KeyShortcut defaultFor(ShortcutAction action) {
    return action == ShortcutAction::releaseMouse ? KeyShortcut::defaultReleaseMouse() : KeyShortcut::defaultEndSession();
}

KeyShortcut& storedFor(StreamSettings& settings, ShortcutAction action) {
    return action == ShortcutAction::releaseMouse ? settings.releaseMouseKey : settings.endSessionKey;
}

std::string lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
    return result;
}

} // namespace

QCoro::Task<int> BoxController::ask(QPointer<QMessageBox>& slot, QString title, QString text, QString informative,
                                    QStringList buttons, int icon, bool unasked, std::function<void()> answered) {
    // An answered alert may wait a moment for its task to resume: the next request asks anew.
    if (slot && slot->isVisible()) {
        // One of a kind at a time: a second request brings the one shown forward.
        slot->raise();
        slot->activateWindow();
        co_return -1;
    }
    std::weak_ptr<int> life = life_;
    // Every question belongs to the main window: modal to it and to the app's windows under it, never to the
    // stream window, whose keys stay with Windows; stacked over the main window, never over other programs.
    QPointer<QWidget> parent = mainWindow;
    const auto make = [=]() {
        auto* box = new QMessageBox(static_cast<QMessageBox::Icon>(icon), title, text, QMessageBox::NoButton,
                                    parent.data());
        box->setTextFormat(Qt::PlainText);
        box->setInformativeText(informative);
        if (auto* label = box->findChild<QLabel*>("qt_msgbox_informativelabel")) label->setTextFormat(Qt::PlainText);
        QPushButton* last = nullptr;
        for (int i = 0; i < buttons.size(); ++i) {
            last = box->addButton(buttons[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
            last->setProperty("answer", i);
            if (i == 0) box->setDefaultButton(last);
        }
        if (buttons.size() > 1) box->setEscapeButton(last);
        return box;
    };
    if (unasked) {
        // Keys typed into the stream belong to Windows: the alert waits while a stream window exists, so it
        // never takes the keyboard and no key meant for Windows answers it.
        QPointer<EngineStream> stream = engineStream_.get();
        UnaskedAlert::Surroundings around{
            [this, life] { return !life.expired() && streamWindowExists(); },
            [stream]() -> QWidget* { return stream ? stream->window() : nullptr; },
            mainWindow,
            [this, life] { return life.expired() || quitting_; },
        };
        const auto shown = [&slot, life](QMessageBox* box) {
            if (!life.expired()) slot = box;
        };
        QPointer<UnaskedAlert> alert = new UnaskedAlert(make, std::move(around), shown, std::move(answered), this);
        connect(this, &BoxController::streamWindowChanged, alert, &UnaskedAlert::update);
        alert->update();
        const int answer = co_await qCoro(alert.data(), &UnaskedAlert::finished);
        if (life.expired()) co_return -1;
        slot = nullptr;
        if (alert) alert->deleteLater();
        co_return answer;
    }
    QPointer<QMessageBox> box = make();
    slot = box;
    box->open();
    box->raise();
    box->activateWindow();
    co_await qCoro(box.data(), &QDialog::finished);
    if (!box) co_return -1;
    QAbstractButton* clicked = box->clickedButton();
    const int index = clicked ? clicked->property("answer").toInt() : -1;
    box->deleteLater();
    if (life.expired()) co_return -1;
    if (slot == box) slot = nullptr;
    co_return index;
}

// Wake.

void BoxController::wakeBoxNow() {
    powerRequest_.userAskedForBox();
    wakeUntil_ = clock_.uptime() + 120.0;
    sendWake("requested");
}

void BoxController::sendWake(std::string reason) { sendWakeTask(std::move(reason), wakeMACs_); }

QCoro::Task<> BoxController::sendWakeTask(std::string reason, std::vector<std::string> macs) {
    std::weak_ptr<int> life = life_;
    int sent = 0;
    try {
        auto work = [macs](std::stop_token) { return WakeOnLAN::send(macs); };
        sent = co_await onPool(pool_, std::move(work));
    } catch (const std::exception&) {
    }
    if (life.expired()) co_return;
    publish(lastWakeSent_, std::optional<Clock::WallTime>(clock_.wallTime()));
    Log::write("wake on LAN (" + reason + "): " + std::to_string(sent) + " packets sent");
}

// Box sleep.

std::optional<std::int64_t> BoxController::boxSleepMinutes() const {
    if (!boxInfo_ || !boxInfo_->settings) return std::nullopt;
    return boxInfo_->settings->unpluggedSleepMinutes;
}

void BoxController::setBoxSleep(std::int64_t minutes) { setBoxSleepTask(minutes); }

QCoro::Task<> BoxController::setBoxSleepTask(std::int64_t minutes) {
    std::weak_ptr<int> life = life_;
    try {
        auto work2 = [agent = agent_, minutes](std::stop_token stop) { agent.setUnpluggedSleep(minutes, stop); };
        co_await onPool(pool_, std::move(work2));
    } catch (const std::exception& error) {
        if (!life.expired()) Log::write(std::string("box sleep setting failed: ") + error.what());
        co_return;
    }
    if (life.expired()) co_return;
    Log::write("box sleep when unplugged set to " + std::to_string(minutes) + " minutes");
    try {
        auto work3 = [agent = agent_](std::stop_token stop) { return agent.info(stop); };
        auto info = co_await onPool(pool_, std::move(work3));
        if (!life.expired()) setBoxInfo(info);
    } catch (const std::exception&) {
    }
}

// Restart or shut down.

void BoxController::confirmBoxPower(const std::string& action) { confirmBoxPowerTask(action); }

QCoro::Task<> BoxController::confirmBoxPowerTask(std::string action) {
    std::weak_ptr<int> life = life_;
    const bool restart = action == "restart";
    const QString question = restart ? "Restart the box?" : "Shut down the box?";
    const QString informative =
        QString(restart ? "Windows restarts and Corvane reconnects by itself when it is back, in about a minute."
                        : "To turn it on again, press its power button, or Corvane wakes it over your network if "
                          "wake is set up.") + kSaveWork;
    const QStringList buttons{restart ? "Restart" : "Shut Down", "Cancel"};
    const int answer = co_await ask(powerAlert_, QString("Corvane"), question, informative, buttons, QMessageBox::Warning);
    if (answer != 0 || life.expired()) co_return;
    co_await stopStreamAndWait();
    if (life.expired()) co_return;
    std::optional<std::string> failure;
    bool tooOld = false;
    try {
        auto work4 = [agent = agent_, action](std::stop_token stop) { agent.power(action, stop); };
        co_await onPool(pool_, std::move(work4));
    } catch (const AgentClient::AgentError& error) {
        tooOld = error.endpointMissing();
        failure = error.what();
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (life.expired()) co_return;
    if (!failure) {
        Log::write("box " + action + " requested");
        reopenAfterRestart_ = restart;
        powerRequest_.taken(restart ? PowerRequest::Action::restart : PowerRequest::Action::shutdown, clock_.uptime());
        co_return;
    }
    Log::write("box " + action + " failed: " + *failure);
    const QString reason = tooOld ? QString("Update the box software to 0.4.0 or newer (Settings > Updates).")
                                  : ShownText::cut(*failure);
    const QString failed = QString("The box did not ") + (restart ? "restart" : "shut down");
    // (gcc 12 cannot hold an initializer list across co_await: the list is a local.)
    const QStringList ok{"OK"};
    co_await ask(powerFailure_, QString("Corvane"), failed, reason, ok, QMessageBox::Warning);
}

// Network repair.

void BoxController::fixNetwork() {
    if (working_) return;
    publish(working_, true);
    fixNetworkTask();
}

QCoro::Task<> BoxController::fixNetworkTask() {
    std::weak_ptr<int> life = life_;
    std::shared_ptr<CableLink> cable = cable_;
    std::optional<std::string> failure;
    try {
        auto work5 = [cable, status = bridge_](std::stop_token stop) { cable->fixBridge(status, stop); };
        co_await onPool(pool_, std::move(work5));
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (life.expired()) co_return;
    if (failure) {
        setPhase(Phase::needsNetworkSetup(*failure));
    } else {
        lastBridgeCheck_ = -std::numeric_limits<double>::infinity();
        setPhase(Phase::of(Phase::Kind::waitingForBox));
    }
    publish(working_, false);
}

void BoxController::connectManually() {
    if (working_) return;
    publish(working_, true);
    connectManuallyTask();
}

QCoro::Task<> BoxController::connectManuallyTask() {
    std::weak_ptr<int> life = life_;
    std::shared_ptr<CableLink> cable = cable_;
    std::optional<std::string> failure;
    try {
        auto work6 = [cable](std::stop_token stop) { cable->assignLinkAddressManually(stop); };
        co_await onPool(pool_, std::move(work6));
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (life.expired()) co_return;
    if (failure) setPhase(Phase::failed(*failure));
    else selfAssignedSince_.reset();
    publish(working_, false);
}

// Starting over.

void BoxController::tryAgain() {
    publish(paired_, false);
    lastBridgeCheck_ = -std::numeric_limits<double>::infinity();
    selfAssignedSince_.reset();
    setPhase(Phase::of(Phase::Kind::starting));
}

void BoxController::forgetBox() { forgetBoxTask(); }

QCoro::Task<> BoxController::forgetBoxTask() {
    std::weak_ptr<int> life = life_;
    try {
        auto work7 = [agent = agent_](std::stop_token stop) {
            auto request = agent.url({"v1", "unpair-all"});
            request.method = "POST";
            agent.send(std::move(request), 10, stop);
        };
        co_await onPool(pool_, std::move(work7));
    } catch (const std::exception&) {
    }
    if (life.expired()) co_return;
    publish(paired_, false);
    pairFailures_ = 0;
    setPhase(Phase::of(Phase::Kind::starting));
}

// The login item.

void BoxController::setLaunchAtLogin(bool on) {
    try {
        platform::LoginItem::set(on, executable, autostartConfigHome);
        Log::write(std::string("open at login: ") + (on ? "true" : "false"));
    } catch (const std::exception& error) {
        Log::write(std::string("open at login change failed: ") + error.what());
    }
    refreshLoginItem();
}

void BoxController::refreshLoginItem() {
    publish(launchAtLogin_, platform::LoginItem::status(autostartConfigHome) == platform::LoginItem::Status::enabled);
}

void BoxController::offerLoginItemOnce() {
    if (AppLaunch::atLogin) return;
    if (platform::LoginItem::status(autostartConfigHome) == platform::LoginItem::Status::enabled) return;
    const auto asked = defaults_->object(kAskedLoginItemKey);
    if (asked && asked->get<bool>() && *asked->get<bool>()) return;
    offerLoginItemTask();
}

QCoro::Task<> BoxController::offerLoginItemTask() {
    std::weak_ptr<int> life = life_;
    co_await clock_.sleep(3.0);
    if (life.expired()) co_return;
    // Without a tray a login start keeps the main window shown.
    const bool tray = !trayShown || trayShown();
    const QString informative =
        QString("If this computer restarts or shuts down unexpectedly, Corvane starts again ") +
        (tray ? "quietly in the tray and " : "and ") +
        "reopens Windows as soon as the box is connected. You can change this in Settings > General.";
    const QStringList buttons{"Open at Login", "Not Now"};
    // Stored once the user answered or closed it, whatever the answer; one never answered (kept back by the
    // stream window until quit, or left open at quit) is asked at a later launch.
    auto markAsked = [defaults = defaults_] { defaults->set(kAskedLoginItemKey, {true}); };
    const int answer = co_await ask(loginQuestion_, QString("Corvane"), QString("Open Corvane when you log in?"),
                                    informative, buttons, QMessageBox::Question, true, markAsked);
    if (answer == 0 && !life.expired()) setLaunchAtLogin(true);
}

// Stream shortcuts.

bool BoxController::hasCustomShortcuts() const {
    return settings_.releaseMouseKey != KeyShortcut::defaultReleaseMouse() ||
           settings_.endSessionKey != KeyShortcut::defaultEndSession();
}

std::optional<std::string> BoxController::setShortcut(ShortcutAction action, const KeyShortcut& shortcut) {
    const ShortcutAction other = action == ShortcutAction::releaseMouse ? ShortcutAction::endSession
                                                                        : ShortcutAction::releaseMouse;
    StreamSettings changed = settings_;
    if (shortcut == storedFor(changed, other))
        return shortcut.display() + " is already used for " + lower(title(other)) + ".";
    storedFor(changed, action) = shortcut;
    setSettings(std::move(changed));
    return std::nullopt;
}

void BoxController::resetShortcut(ShortcutAction action) {
    StreamSettings changed = settings_;
    storedFor(changed, action) = defaultFor(action);
    setSettings(std::move(changed));
}

// A copy of an old separate engine app: end what runs from it and remove it.
void BoxController::removeOldEngineApp() {
    const auto target = Folders::applicationSupport() / "StreamEngine.app";
    platform::SystemInfo::killProcessesInside(target);
    std::error_code ignored;
    std::filesystem::remove_all(target, ignored);
}

} // namespace corvane
