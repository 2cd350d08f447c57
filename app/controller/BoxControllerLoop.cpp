// The once-a-second loop: cable, bridge service, agent, pairing, phase, load and wake.
#include "app/controller/BoxController.hpp"

#include "app/controller/AppLaunch.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "app/services/WakeOnLAN.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/updates/UpdateManager.hpp"
#include "app/window/EngineStream.hpp"
#include "app/window/StatsOverlay.hpp"
#include "engine/EngineLog.hpp"
#include "platform/defaults/UserDefaults.hpp"

namespace corvane {
namespace {

constexpr std::size_t kMaxWakeMACs = 16;

// Only addresses a magic packet can be made of, at most 16.
std::vector<std::string> wakeAddressesOf(const AgentClient::Info& info) {
    std::vector<std::string> macs;
    for (const auto& adapter : *info.wake) {
        if (macs.size() == kMaxWakeMACs) break;
        if (WakeOnLAN::packet(adapter.mac)) macs.push_back(adapter.mac);
    }
    return macs;
}

} // namespace

void BoxController::start() {
    if (loopStarted_) return;
    loopStarted_ = true;
    stream::EngineLog::setSink([](const std::string& line) { Log::write(line); });
    Log::write("Corvane " + updates_->currentVersion() + " started" + (AppLaunch::atLogin ? " at login" : ""));
    removeOldEngineApp();
    offerLoginItemOnce();
    applyAppearance();
    std::weak_ptr<int> life = life_;
    updates_->prepareForUpdate = [this, life]() -> QCoro::Task<> {
        // Not a coroutine itself: the task must not refer to this lambda once it is replaced.
        if (life.expired()) return []() -> QCoro::Task<> { co_return; }();
        return stopStreamAndWait();
    };
    runLoop();
}

QCoro::Task<> BoxController::runLoop() {
    std::weak_ptr<int> life = life_;
    updates_->startAutomaticChecks();
    while (!life.expired()) {
        co_await tick();
        if (life.expired()) co_return;
        co_await clock_.sleep(1.0);
    }
}

QCoro::Task<> BoxController::tick() {
    std::weak_ptr<int> life = life_;
    if (busy_ || working_) co_return;

    if (streamOpen() || engineOpening_) {
        setPhase(Phase::of(Phase::Kind::streaming));
        if (cable_->linkAddress()) {
            // The box's load keeps coming while Windows is open: the overlay and the card follow it.
            if (boxInfo_) refreshStatusIfDue();
            co_return;
        }
        if (!streamOpen()) co_return;
        Log::write("lost the box during the session; Windows reopens when the box is back");
        resumeWanted_ = true;
        engineStream_->window()->close();
        co_return;
    }

    if (phase_.is(Phase::Kind::failed) && cable_->linkAddress()) co_return;

    const auto address = cable_->linkAddress();
    if (!address) {
        publish(linkUp_, false);
        publish(boxFound_, false);
        publish(paired_, false);
        publish(boxName_, std::optional<std::string>());
        setBoxInfo(std::nullopt);
        powerRequest_.cableGone();
        wakeIfDue();
        autoLaunchArmed_ = true;
        pairFailures_ = 0;
        co_await checkBridgeIfDue();
        if (life.expired()) co_return;
        if (!bridge_.serviceName) {
            setPhase(Phase::needsNetworkSetup("The Thunderbolt Bridge network service is missing on this computer."));
        } else if (!bridge_.enabled) {
            setPhase(Phase::needsNetworkSetup("Thunderbolt Bridge networking is turned off on this computer."));
        } else if (!bridge_.usesDHCP) {
            setPhase(Phase::needsNetworkSetup("Thunderbolt Bridge is set to a manual address."));
        } else if (cable_->bridgeHasSelfAssignedAddress()) {
            if (!selfAssignedSince_) selfAssignedSince_ = clock_.uptime();
            setPhase(Phase::of(clock_.uptime() - *selfAssignedSince_ > 20.0 ? Phase::Kind::cableNoAddress
                                                                               : Phase::Kind::waitingForBox));
        } else {
            selfAssignedSince_.reset();
            setPhase(Phase::of(Phase::Kind::waitingForBox));
        }
        co_return;
    }

    publish(linkUp_, true);
    selfAssignedSince_.reset();
    powerRequest_.cableThere();
    std::optional<AgentClient::Info> info;
    try {
        auto work = [agent = agent_](std::stop_token stop) { return agent.info(stop); };
        info = co_await onPool(pool_, std::move(work));
    } catch (const std::exception&) {
    }
    if (life.expired()) co_return;
    if (!info) {
        publish(boxFound_, false);
        setBoxInfo(std::nullopt);
        setPhase(Phase::of(Phase::Kind::boxNotAnswering));
        powerRequest_.boxSilent();
        wakeIfDue();
        co_return;
    }
    publish(boxFound_, true);
    powerRequest_.boxAnswered();
    publish(boxName_, std::optional<std::string>(info->boxName));
    setBoxInfo(info);
    refreshStatusIfDue();

    if (!paired_) {
        busy_ = true;
        const bool ok = co_await pairEngine();
        if (life.expired()) co_return;
        busy_ = false;
        if (!ok) co_return;
    }
    // The stream may have opened while this pass waited (a click on Open Windows).
    if (streamOpen() || engineOpening_) co_return;
    // A box on its way down after a restart or shut-down: Windows opens once it is back.
    const bool going = powerRequest_.boxGoing(clock_.uptime());
    const bool opening = !going && (reopenAfterRestart_ || (settings_.autoConnect && autoLaunchArmed_) ||
                                    (resumeWanted_ && resumeAttempts_ < 3));
    if (opening) {
        // Back from a restart, the box's agent may answer well before its streaming service: an opening of the
        // loop's own waits for the service rather than failing until the user clicks Try Again.
        const bool answers = (co_await askPaired()).has_value();
        if (life.expired() || streamOpen() || engineOpening_) co_return;
        if (!answers) {
            setPhase(Phase::boxNotReady(kServiceNotAnswering));
            co_return;
        }
    }
    setPhase(Phase::of(Phase::Kind::ready));
    if (going) co_return;

    // A restart's question and a plug-in each promise Windows: neither spends a dropped session's reopens,
    // and a session the cable cut comes back with the plug-in's opening.
    if (reopenAfterRestart_) {
        resumeWanted_ = autoLaunchArmed_ = false;
        Log::write("reopening Windows after the box restarted");
        openEngineWindow();
    } else if (settings_.autoConnect && autoLaunchArmed_) {
        resumeWanted_ = autoLaunchArmed_ = false;
        openEngineWindow();
    } else if (resumeWanted_) {
        resumeWanted_ = false;
        autoLaunchArmed_ = false;
        if (resumeAttempts_ < 3) {
            ++resumeAttempts_;
            Log::write("reopening Windows after the session dropped (try " + std::to_string(resumeAttempts_) + ")");
            openEngineWindow();
        } else {
            Log::write("the session dropped again; not reopening automatically (click Open Windows)");
        }
    }
}

QCoro::Task<> BoxController::checkBridgeIfDue() {
    if (!(clock_.uptime() - lastBridgeCheck_ > 5.0)) co_return;
    std::weak_ptr<int> life = life_;
    lastBridgeCheck_ = clock_.uptime();
    std::shared_ptr<CableLink> cable = cable_;
    NetworkLink::BridgeStatus status;
    try {
        auto work2 = [cable](std::stop_token stop) { return cable->bridgeStatus(stop); };
        status = co_await onPool(pool_, std::move(work2));
    } catch (const std::exception&) {
        co_return;
    }
    if (life.expired()) co_return;
    bridge_ = status;
}

void BoxController::setBoxInfo(std::optional<AgentClient::Info> info) {
    if (info == boxInfo_) return;
    const bool wasNone = !boxInfo_;
    boxInfo_ = info;
    if (!info) {
        boxStatus_.reset();
        statusSupported_ = true;
    }
    sharing_->update(info, settings_);
    if (info && info->wake) {
        auto macs = wakeAddressesOf(*info);
        if (!macs.empty() && macs != wakeMACs_) {
            wakeMACs_ = macs;
            platform::DefaultsValue::Array stored;
            for (const auto& mac : macs) stored.push_back({mac});
            defaults_->set("Corvane.WakeMACs", {stored});
            Log::write("box network addresses saved for wake on LAN (" + std::to_string(macs.size()) + ")");
        }
    }
    if (info && wasNone) {
        Log::write("box connected: " + info->boxName + " agent " + info->agentVersion);
        updates_->boxConnected(true);
    }
    if (!info && !wasNone) updates_->boxConnected(false);
    Q_EMIT changed();
}

void BoxController::refreshStatusIfDue() {
    ++statusTicks_;
    const int period = statsOverlay_->running() && settings_.detailedStats ? 2 : 3;
    if (!statusSupported_ || statusTicks_ % period != 1) return;
    // Beside the pass and one at a time: a box that answers slowly never holds up the loop's own requests.
    if (askingStatus_) return;
    askingStatus_ = true;
    askStatus();
}

QCoro::Task<> BoxController::askStatus() {
    std::weak_ptr<int> life = life_;
    std::optional<AgentClient::BoxStatus> status;
    bool missing = false;
    try {
        auto work3 = [agent = agent_](std::stop_token stop) { return agent.status(stop); };
        status = co_await onPool(pool_, std::move(work3));
    } catch (const AgentClient::AgentError& error) {
        missing = error.endpointMissing();
    } catch (const std::exception&) {
    }
    if (life.expired()) co_return;
    askingStatus_ = false;
    if (!boxInfo_) co_return;  // the box went meanwhile
    if (missing) statusSupported_ = false;
    if (!status) co_return;
    publish(boxStatus_, status);
    if (statsOverlay_->running()) statsOverlay_->setBoxStatus(status);
}

void BoxController::wakeIfDue() {
    const double now = clock_.uptime();
    if (!settings_.wakeBox || powerRequest_.holdsWake() || wakeMACs_.empty() || !(now < wakeUntil_) || !(now - lastAutoWake_ >= 20.0)) return;
    lastAutoWake_ = now;
    sendWake("automatic");
}

} // namespace corvane
