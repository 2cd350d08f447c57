#include "app/controller/BoxController.hpp"

#include "app/controller/AppLaunch.hpp"
#include "app/controller/Appearance.hpp"
#include "app/controller/ControllerWatcher.hpp"
#include "app/services/BoxEndpoint.hpp"
#include "app/services/Log.hpp"
#include "app/services/ShortcutRecorder.hpp"
#include "app/sharing/SharingManager.hpp"
#include "app/updates/UpdateManager.hpp"
#include "app/window/EngineStream.hpp"
#include "app/window/StatsOverlay.hpp"
#include "engine/BoxHost.hpp"
#include "engine/pairing/identity/ClientIdentity.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/keystore/KeyStore.hpp"
#include "platform/login/LoginItem.hpp"

#include <limits>

namespace corvane {
namespace {

constexpr double kDistantPast = -std::numeric_limits<double>::infinity();
constexpr const char* kWakeMACsKey = "Corvane.WakeMACs";

const char* kindName(BoxController::Phase::Kind kind) {
    using Kind = BoxController::Phase::Kind;
    switch (kind) {
    case Kind::needsNetworkSetup: return "needsNetworkSetup";
    case Kind::boxNotReady: return "boxNotReady";
    case Kind::failed: return "failed";
    case Kind::starting: return "starting";
    case Kind::waitingForBox: return "waitingForBox";
    case Kind::cableNoAddress: return "cableNoAddress";
    case Kind::boxNotAnswering: return "boxNotAnswering";
    case Kind::pairing: return "pairing";
    case Kind::ready: return "ready";
    case Kind::streaming: return "streaming";
    }
    return "starting";
}

bool looksForBox(const BoxController::Phase& phase) {
    using Kind = BoxController::Phase::Kind;
    return phase.is(Kind::waitingForBox) || phase.is(Kind::cableNoAddress) || phase.is(Kind::boxNotAnswering);
}

std::vector<std::string> storedWakeMACs(const platform::UserDefaults& defaults) {
    std::vector<std::string> macs;
    const auto stored = defaults.object(kWakeMACsKey);
    const auto* list = stored ? stored->get<platform::DefaultsValue::Array>() : nullptr;
    if (!list) return macs;
    for (const auto& item : *list)
        if (const auto* text = item.get<std::string>()) macs.push_back(*text);
    return macs;
}

} // namespace

std::string BoxController::Phase::description() const {
    std::string text = kindName(kind);
    if (kind == Kind::needsNetworkSetup || kind == Kind::boxNotReady || kind == Kind::failed)
        text += "(\"" + message + "\")";
    return text;
}

BoxController::BoxController(Environment environment, QObject* parent)
    : QObject(parent),
      clock_(environment.clock),
      pool_(environment.pool),
      defaults_(std::move(environment.defaults)),
      cable_(environment.cable ? std::move(environment.cable) : CableLink::system()),
      lastBridgeCheck_(kDistantPast),
      wakeUntil_(kDistantPast),
      lastAutoWake_(kDistantPast) {
    launchAtLogin_ = platform::LoginItem::status(autostartConfigHome) == platform::LoginItem::Status::enabled;
    wakeMACs_ = storedWakeMACs(*defaults_);
    controllers_ = std::make_unique<ControllerWatcher>();
    sharing_ = std::make_unique<SharingManager>(clock_, pool_);
    settings_ = StreamSettings::load(*defaults_);
    statsOverlay_ = std::make_unique<StatsOverlay>(clock_, pool_);
    shortcutRecorder_ = std::make_unique<ShortcutRecorder>();
    updates_ = std::make_unique<UpdateManager>(clock_, pool_, AgentClient());
    agent_ = AgentClient();
    platform::KeyStore keys(environment.keyFolder.empty() ? platform::KeyStore::standardFolder() : environment.keyFolder);
    streamHost_ = std::make_shared<stream::BoxHost>(BoxEndpoint::address(), BoxEndpoint::streamHttpPort,
                                                    stream::ClientIdentityStore("Corvane Stream Client", std::move(keys)),
                                                    defaults_);
    engineStream_ = std::make_unique<EngineStream>(clock_, pool_, defaults_, controllers_->gamepads());
}

BoxController::~BoxController() {
    // Tasks still suspended see `life_` gone and touch nothing.
    life_.reset();
}

void BoxController::setShowAdvancedStream(bool show) { publish(showAdvancedStream_, show); }

void BoxController::setPhase(Phase phase) {
    if (phase == phase_) return;
    const Phase old = phase_;
    phase_ = std::move(phase);
    Log::write("status: " + phase_.description());
    if (looksForBox(phase_) && !looksForBox(old)) wakeUntil_ = clock_.uptime() + 120.0;
    Q_EMIT changed();
}

void BoxController::setSettings(StreamSettings settings) {
    if (settings == settings_) return;
    const bool appearanceChanged = settings.appearance != settings_.appearance;
    settings_ = std::move(settings);
    settings_.save(*defaults_);
    applyStatsOverlay();
    if (appearanceChanged) applyAppearance();
    sharing_->update(boxInfo_, settings_);
    Q_EMIT changed();
}

void BoxController::applyAppearance() {
    std::optional<std::string> wanted;
    if (settings_.appearance == StreamSettings::Appearance::light) wanted = Appearance::light;
    if (settings_.appearance == StreamSettings::Appearance::dark) wanted = Appearance::dark;
    if (wanted == appearance_) return;
    appearance_ = wanted;
    Appearance::apply(wanted);
}

void BoxController::applyStatsOverlay() {
    if (!engineStream_->window() || !settings_.showStats) {
        statsOverlay_->stop();
        return;
    }
    // The card shows the stream that runs; settings changed meanwhile apply at the next opening, so here they
    // move or detail the card only.
    const auto info = engineStream_->streamInfo().value_or(settings_.statsInfo());
    if (statsOverlay_->running()) {
        statsOverlay_->update(settings_.statsPosition, settings_.detailedStats, info);
        return;
    }
    statsOverlay_->start(0, settings_.statsPosition, settings_.detailedStats, info);
    statsOverlay_->needsScreenPermission = false;
    statsOverlay_->engineWindow = engineStream_->window();
    QPointer<EngineStream> stream = engineStream_.get();
    statsOverlay_->engineFPS = [stream]() -> std::optional<int> {
        if (!stream || !stream->view()) return 0;
        return stream->view()->shownFPS();
    };
    std::weak_ptr<int> life = life_;
    statsOverlay_->engineLatency = [this, life]() -> std::optional<double> {
        if (life.expired()) return std::nullopt;
        return engineLatency();
    };
    statsOverlay_->setBoxStatus(boxStatus_);
}

std::optional<double> BoxController::engineLatency() const {
    const auto* view = engineStream_->view();
    const auto session = engineStream_->session();
    if (!view || !session) return std::nullopt;
    const double packetToShow = view->latencyMs().packetToShow;
    if (!(packetToShow > 0)) return std::nullopt;
    return packetToShow + view->hostProcessingMs() + static_cast<double>(session->stats().rttMs) / 2.0;
}

std::string BoxController::menuStatus() const {
    using Kind = Phase::Kind;
    switch (phase_.kind) {
    case Kind::needsNetworkSetup: return "Setup needed";
    case Kind::boxNotReady: return "Box is starting up";
    case Kind::failed: return "Something went wrong";
    case Kind::starting: return "Starting...";
    case Kind::waitingForBox:
    case Kind::cableNoAddress: return "Box not connected";
    case Kind::boxNotAnswering: return "Box not answering";
    case Kind::pairing: return "Pairing...";
    case Kind::ready: return boxName_ ? "Ready: " + *boxName_ : "Ready";
    case Kind::streaming: return "Windows is open";
    }
    return "Starting...";
}

bool BoxController::streamOpen() const { return engineStream_->window() != nullptr; }

bool BoxController::streamWindowExists() const { return engineOpening_ || streamOpen() || streamWindow_; }

void BoxController::shutdown() {
    // Nothing the user did not ask for shows while the app goes.
    quitting_ = true;
    Q_EMIT streamWindowChanged();
    sharing_->stop();
    statsOverlay_->stop();
    if (streamOpen()) {
        Log::write("Corvane quitting: closing the engine window");
        engineStream_->window()->close();
        Log::flush();
    }
    // Nothing still waiting on the box holds up the quit.
    pool_.requestStop();
}

} // namespace corvane
