// Pairing the engine with no typing (the agent enters the PIN) and opening, following and ending Windows.
#include "app/controller/BoxController.hpp"

#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/window/EngineStream.hpp"
#include "app/window/StatsOverlay.hpp"
#include "app/window/StreamWindow.hpp"
#include "engine/BoxHost.hpp"
#include "platform/http/Http.hpp"
#include "platform/system/SystemInfo.hpp"

#include <unistd.h>

namespace corvane {
namespace {

// The agent answered false to the PIN.
class PinRefused final : public Error {
public:
    PinRefused() : Error("the box did not accept the PIN") {}
    const char* domain() const { return "Corvane"; }
    int code() const { return 1; }
};

} // namespace

std::string BoxController::pairingName() { return pairingName(platform::SystemInfo::computerName()); }

std::string BoxController::pairingName(const std::optional<std::string>& computerName) {
    return computerName.value_or("Linux") + " (Corvane)";
}

QCoro::Task<std::optional<bool>> BoxController::askPaired() {
    auto host = streamHost_;
    stream::BoxHost::PairState state = stream::BoxHost::PairState::unknown;
    try {
        auto work = [host](std::stop_token stop) { return host->pairState(stop); };
        state = co_await onPool(pool_, std::move(work));
    } catch (const std::exception&) {
    }
    if (state == stream::BoxHost::PairState::unknown) co_return std::nullopt;
    co_return state == stream::BoxHost::PairState::paired;
}

QCoro::Task<bool> BoxController::pairEngine() {
    std::weak_ptr<int> life = life_;
    const std::optional<bool> alreadyPaired = co_await askPaired();
    if (life.expired()) co_return false;
    if (alreadyPaired == true) {
        publish(paired_, true);
        Log::write("engine: already paired with the box");
        co_return true;
    }
    if (!alreadyPaired) {
        setPhase(Phase::boxNotReady(kServiceNotAnswering));
        co_return false;
    }

    setPhase(Phase::of(Phase::Kind::pairing));
    auto host = streamHost_;
    const std::string name = pairingName();
    bool done = false;
    std::string failure;
    try {
        auto work2 = [host, agent = agent_, name](std::stop_token stop) {
            host->pair("Corvane", [agent, name](const std::string& pin, std::stop_token approveStop) {
                if (!agent.pair(pin, name, true, approveStop)) throw PinRefused();
            }, stop);
        };
        co_await onPool(pool_, std::move(work2));
        done = true;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (life.expired()) co_return false;
    if (done) {
        publish(paired_, true);
        pairFailures_ = 0;
        Log::write("engine: paired with the box");
        co_return true;
    }
    Log::write("engine: pairing failed: " + failure);
    ++pairFailures_;
    setPhase(Phase::failed(pairFailures_ < 3 ? "Pairing with the box did not finish. Click Try Again."
                                             : "Pairing with the box keeps failing. Try running the box setup again."));
    co_return false;
}

void BoxController::openEngineWindow() {
    if (streamOpen() || engineOpening_) return;
    // Asking for Windows is asking for the box: the loop itself opens none while a power request holds.
    powerRequest_.userAskedForBox();
    reopenAfterRestart_ = false;  // whoever opens it, Windows is back
    engineOpening_ = true;
    // Before the window shows: an alert the user did not ask for steps aside first.
    Q_EMIT streamWindowChanged();
    setPhase(Phase::of(Phase::Kind::streaming));
    std::weak_ptr<int> life = life_;
    engineStream_->onStreamSize = [this, life](int width, int height) {
        if (life.expired()) return;
        auto info = engineStream_->streamInfo().value_or(settings_.statsInfo());
        info.width = width;
        info.height = height;
        statsOverlay_->update(settings_.statsPosition, settings_.detailedStats, info);
    };
    engineStream_->onOpened = [this, life] {
        if (life.expired()) return;
        applyStatsOverlay();
        QPointer<EngineStream> stream = engineStream_.get();
        StreamWindow::ownWindow = [stream]() -> std::optional<StreamWindow::Info> {
            if (!stream) return std::nullopt;
            return stream->streamWindowInfo();
        };
        const auto pid = static_cast<std::int32_t>(getpid());
        sharing_->setStreamPID(pid);
        sharing_->setStreamWindow(engineStream_->window());
    };
    engineStream_->onEnded = [this, life](std::optional<std::string> reason) {
        if (life.expired()) return;
        statsOverlay_->stop();
        sharing_->setStreamPID(std::nullopt);
        sharing_->setStreamWindow(nullptr);
        if (reason) {
            Log::write("the stream ended unexpectedly (" + *reason + "); reopening when ready");
            resumeWanted_ = true;
        }
        if (phase_.is(Phase::Kind::streaming)) setPhase(Phase::of(Phase::Kind::ready));
    };
    openTask();
}

QCoro::Task<> BoxController::openTask() {
    std::weak_ptr<int> life = life_;
    bool opened = false;
    bool certificateChanged = false;
    std::string failure;
    try {
        auto opening = engineStream_->open(streamHost_, settings_, boxName_);
        followStreamWindow();  // the window is up before the opening first waits
        co_await std::move(opening);
        opened = true;
    } catch (const platform::HttpError& error) {
        failure = error.what();
        certificateChanged = error.certificateRejected;
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (life.expired()) co_return;
    engineOpening_ = false;
    Q_EMIT streamWindowChanged();
    if (!opened) {
        Log::write("engine: could not open Windows: " + failure);
        // A refused certificate ends the request as "cancelled": the user is told what was refused instead.
        setPhase(Phase::failed(certificateChanged ? "Windows didn't open (the box's certificate changed since pairing)."
                                                  : "Windows didn't open (" + failure + "). Click Try Again."));
    }
}

void BoxController::followStreamWindow() {
    QWidget* window = engineStream_->window();
    if (!window || window == streamWindow_) return;
    streamWindow_ = window;
    // Closed, the window is hidden at once but destroyed a turn later: only then is it gone.
    connect(window, &QObject::destroyed, this, [this] { Q_EMIT streamWindowChanged(); }, Qt::QueuedConnection);
}

void BoxController::closeSession() {
    if (!streamOpen()) return;
    resumeWanted_ = false;
    Log::write("session closed from Corvane");
    engineStream_->window()->close();
}

QCoro::Task<> BoxController::stopStreamAndWait() {
    resumeWanted_ = false;
    statsOverlay_->stop();
    if (!streamOpen()) co_return;
    auto session = engineStream_->session();
    engineStream_->tearDown();
    if (!session) co_return;
    auto work3 = [session](std::stop_token) { session->stop(false); };
    co_await onPool(pool_, std::move(work3));
}

} // namespace corvane
