#include "app/window/EngineStream.hpp"

#include <cmath>
#include <cstdio>

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "app/services/Log.hpp"
#include "app/window/Desktops.hpp"
#include "app/window/DialogAwaiter.hpp"
#include "app/services/OnPool.hpp"
#include "app/services/ShownText.hpp"
#include "app/window/StartView.hpp"
#include "app/window/StreamShape.hpp"
#include "app/window/StreamWindowWidget.hpp"
#include "app/window/WindowHints.hpp"
#include "platform/defaults/UserDefaults.hpp"

namespace corvane {

namespace {

std::string format(const char* pattern, auto... values) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, values...);
    return line;
}

std::optional<QSizeF> visibleSize(const QScreen* screen) {
    if (!screen) return std::nullopt;
    return QSizeF(screen->availableGeometry().size());
}

QCoro::Task<> stopSession(AppPool& pool, std::shared_ptr<stream::StreamSession> session) {
    try {
        const auto stop = [session](std::stop_token token) { session->stop(false, token); };
        co_await onPool(pool, stop);
    } catch (...) {
        // stop() never throws; nothing to report either way.
    }
}

}  // namespace

EngineStream::EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                           QObject* parent)
    : EngineStream(clock, pool, std::move(defaults), nullptr, parent) {}

EngineStream::EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                           platform::GamepadManager& gamepads, QObject* parent)
    : EngineStream(clock, pool, std::move(defaults), &gamepads, parent) {}

EngineStream::EngineStream(Clock& clock, AppPool& pool, std::shared_ptr<platform::UserDefaults> defaults,
                           platform::GamepadManager* gamepads, QObject* parent)
    : QObject(parent),
      clock_(clock),
      pool_(pool),
      defaults_(std::move(defaults)),
      relay_(std::make_shared<Relay>()),
      port_(std::make_shared<SessionPort>()),
      outlet_(std::make_shared<FrameOutlet>()),
      gamepads_(gamepads ? std::make_unique<stream::Gamepads>(*gamepads) : std::make_unique<stream::Gamepads>()),
      hint_(clock) {
    relay_->stream = this;
}

EngineStream::~EngineStream() {
    {
        std::lock_guard guard(relay_->lock);
        relay_->stream = nullptr;
    }
    tearDown();
    life_.reset();
}

QWidget* EngineStream::window() const { return window_.data(); }

void EngineStream::stopLater(std::shared_ptr<stream::StreamSession> session) {
    if (session) stopSession(pool_, std::move(session));
}

void EngineStream::setSession(std::shared_ptr<stream::StreamSession> session) {
    session_ = std::move(session);
    std::lock_guard guard(port_->lock);
    port_->session = session_;
}

// ---- Opening ----

QCoro::Task<> EngineStream::open(const std::shared_ptr<stream::BoxHost>& host, const StreamSettings& settings,
                                 const std::optional<std::string>& boxName) {
    if (window_) co_return;
    const std::weak_ptr<int> life = life_;
    host_ = host;
    settings_ = settings;
    // Shown on the covers: the box's own text, cut as every box text is before a widget shows it.
    boxName_ = boxName ? std::optional(ShownText::cut(*boxName, 80).toStdString()) : std::nullopt;
    const Pixels size = StreamShape::baseSize(settings_.size);
    switch (settings_.codec) {
    case StreamSettings::Codec::h264: codec_ = stream::StreamConfig::Codec::h264; break;
    case StreamSettings::Codec::av1:
        Log::write("engine: AV1 is not supported yet; using HEVC");
        codec_ = stream::StreamConfig::Codec::hevc;
        break;
    default: codec_ = stream::StreamConfig::Codec::hevc; break;
    }
    chosenArea_ = size.width * size.height;
    matchWindow_ = settings_.matchWindowShape;
    hostStreamer_ = true;
    shapesChecked_ = false;
    restarting_ = false;
    reshapePending_ = false;
    Log::write("engine: streaming from Corvane Host on the box");
    streamSize_ = size;
    streamInfo_.reset();
    const Generation generation = ++generation_;

    auto* view = new stream::StreamView(QRect(0, 0, size.width, size.height));
    auto* cover = new StartView(view, boxName_, "Starting Windows...");
    view_ = view;
    {
        std::lock_guard guard(outlet_->lock);
        outlet_->slot = &view->slot();
    }
    showWindow(size);
    view->markOpened();
    QPointer<StartView> weakCover = cover;
    view->onFirstPicture = [weakCover] {
        if (weakCover) weakCover->fadeOut();
    };
    view->start();

    if (matchWindow_ && window_) {
        const std::optional<bool> sideways = co_await askSideways(generation);
        if (life.expired() || !alive(generation)) co_return;
        if (sideways.value_or(false) && streamSize_.height < streamSize_.width) {
            std::swap(streamSize_.width, streamSize_.height);
            reshapeWindow(streamSize_);
        }
    }

    try {
        co_await startSession(generation);
    } catch (...) {
        if (!life.expired() && generation == generation_) {
            closingOnPurpose = true;
            tearDown();
        }
        throw;
    }
    if (life.expired() || !alive(generation) || !session_ || !view_) co_return;

    // Input.
    const char* mouseWord = settings_.mouse == StreamSettings::MouseMode::games ? "games (captured on click)" : "desktop";
    Log::write(std::string("engine: input: mouse ") + mouseWord + ", Command as " +
               (settings_.commandAsControl ? "Control" : "Windows key") + ", release " + settings_.releaseMouseKey.key +
               " " + std::to_string(settings_.releaseMouseKey.modifiers) + ", end " + settings_.endSessionKey.key + " " +
               std::to_string(settings_.endSessionKey.modifiers));
    view_->inputHooks = makeInputHooks();
    if (settings_.mouse == StreamSettings::MouseMode::automatic) watchWindowsCursor();

    // Observers: the application going inactive; desktop switches are seen by the watchers' ticks.
    observers_.append(connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
                              [this](Qt::ApplicationState state) {
                                  gamepads_->setApplicationActive(state == Qt::ApplicationActive);
                                  applicationStateChanged(state);
                              }));
    lastDesktop_ = Desktops::current();

    view_->setFocus(Qt::OtherFocusReason);
    view_->setMouseTracking(true);
    if (defaults_->boolean("Corvane.EngineTestHint")) hint_.show(*window_, hintText(settings_.releaseMouseKey));

    // Controllers.
    gamepads_->multiController = settings_.multiController;
    gamepads_->swapButtons = settings_.swapGamepadButtons;
    gamepads_->send = [port = port_](ByteView packet) {
        std::lock_guard guard(port->lock);
        if (port->session) port->session->sendInput(Bytes(packet.begin(), packet.end()));
    };
    gamepads_->setApplicationActive(qGuiApp->applicationState() == Qt::ApplicationActive);
    gamepads_->start(settings_.backgroundGamepad);
    gamepadsStarted_ = true;

    // "Show as Full screen": entered once the stream runs, so the box follows it as any full screen.
    if (settings_.displayMode == StreamSettings::DisplayMode::fullscreen) window_->showFullScreen();

    if (onOpened) onOpened();
    statsLoop(generation);
}

void EngineStream::showWindow(Pixels size) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize content = StreamShape::contentSize(size, visibleSize(screen));
    auto* window = new StreamWindowWidget(view_);
    ownSize_ = content;
    window->resize(content);
    window->onClose = [this] { windowWillClose(); };
    window->onResized = [this] { windowResized(); };
    window->onFullScreenChanged = [this](bool fullScreen) {
        if (fullScreen)
            windowDidEnterFullScreen();
        else
            windowDidExitFullScreen();
    };
    window->onResignKey = [this] { windowDidResignKey(); };
    if (screen) {
        QRect frame(QPoint(0, 0), content);
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window_ = window;
    window->show();
    if (!matchWindow_) fixAspectRatio(*window, size.width, size.height, content);
    window->raise();
    window->activateWindow();
}

void EngineStream::reshapeWindow(Pixels size) {
    if (!window_) return;
    const QScreen* screen = window_->screen() ? window_->screen() : QGuiApplication::primaryScreen();
    const QSize content = StreamShape::contentSize(size, visibleSize(screen));
    ownSize_ = content;
    window_->resize(content);
    if (!matchWindow_) fixAspectRatio(*window_, size.width, size.height, content);
    if (screen) {
        QRect frame = window_->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window_->move(frame.topLeft());
    }
}

QCoro::Task<std::optional<bool>> EngineStream::askSideways(Generation generation) {
    const std::weak_ptr<int> life = life_;
    const QScreen* screen = window_ && window_->screen() ? window_->screen() : QGuiApplication::primaryScreen();
    if (!screen) co_return std::nullopt;
    const QRect frame = screen->geometry();
    if (!defaults_->boolean("Corvane.EngineFakeSidewaysScreen") && frame.width() >= frame.height())
        co_return std::nullopt;
    const std::string key = screen->name().toStdString() + " " + std::to_string(std::min(frame.width(), frame.height())) +
                            "x" + std::to_string(std::max(frame.width(), frame.height()));
    platform::DefaultsValue::Dictionary answers;
    if (auto stored = defaults_->object("Corvane.SidewaysScreens"))
        if (auto* dictionary = stored->get<platform::DefaultsValue::Dictionary>()) answers = *dictionary;
    if (auto found = answers.find(key); found != answers.end())
        if (auto* flag = found->second.get<bool>()) co_return *flag;

    auto* box = new QMessageBox(window_);
    box->setWindowModality(Qt::WindowModal);
    box->setTextFormat(Qt::PlainText);
    box->setText(QStringLiteral("Your screen is sideways. Show Windows sideways too?"));
    box->setInformativeText(
        QStringLiteral("Windows switches to a tall screen to fill it. Corvane remembers your choice for this screen."));
    QPushButton* sideways = box->addButton(QStringLiteral("Show Sideways"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Keep Wide"), QMessageBox::RejectRole);
    box->setDefaultButton(sideways);
    sidewaysBox_ = box;
    box->open();
    DialogAwaiter answered{box};  // named: gcc 12 destroys such temporaries of a co_await twice
    co_await answered;
    if (life.expired() || !alive(generation) || !box) co_return std::nullopt;
    const bool answer = box->clickedButton() == sideways;
    box->deleteLater();
    answers[key] = platform::DefaultsValue{answer};
    defaults_->set("Corvane.SidewaysScreens", platform::DefaultsValue{answers});
    Log::write("engine: sideways screen " + key + ": " + (answer ? "Windows sideways" : "kept wide"));
    co_return answer;
}

std::string EngineStream::hintText(const KeyShortcut& releaseMouse) {
    return "Press " + releaseMouse.display() + " to release the mouse";
}

std::string EngineStream::systemKeysHintText(const KeyShortcut& releaseMouse) {
    return "Desktop shortcuts go to Windows. Press " + releaseMouse.display() + " to use them on this computer";
}

stream::InputHooks EngineStream::makeInputHooks() {
    stream::InputHooks hooks;
    hooks.send = [port = port_](Bytes packet) {
        std::lock_guard guard(port->lock);
        if (port->session) port->session->sendInput(std::move(packet));
    };
    hooks.mouseMode = settings_.mouse == StreamSettings::MouseMode::games ? stream::MouseMode::relative
                                                                            : stream::MouseMode::absolute;
    hooks.commandAsControl = settings_.commandAsControl;
    hooks.streamSize = {double(streamSize_.width), double(streamSize_.height)};
    hooks.shortcut = [this, life = std::weak_ptr<int>(life_), release = settings_.releaseMouseKey,
                      end = settings_.endSessionKey](const platform::KeyEvents::Event& event) {
        const bool matches = release.matches(event.keyCode, event.modifierFlags) ||
                             end.matches(event.keyCode, event.modifierFlags);
        if (life.expired()) return matches;
        return shortcut(event);
    };
    hooks.onCaptureChanged = [this, life = std::weak_ptr<int>(life_)](bool captured) {
        if (!life.expired()) captureChanged(captured);
    };
    return hooks;
}

bool EngineStream::shortcut(const platform::KeyEvents::Event& event) {
    if (settings_.releaseMouseKey.matches(event.keyCode, event.modifierFlags)) {
        Log::write("engine: release mouse shortcut");
        if (view_) view_->releaseAllInput();
        if (settings_.mouse == StreamSettings::MouseMode::automatic) {
            autoCaptureHeld_ = true;
            if (view_) view_->inputHooks.mouseMode = stream::MouseMode::absolute;
        }
        if (systemKeys_.running()) systemKeys_.setPaused(true);
        return true;
    }
    if (settings_.endSessionKey.matches(event.keyCode, event.modifierFlags)) {
        Log::write("engine: end session shortcut");
        closingOnPurpose = true;
        if (window_) window_->close();
        return true;
    }
    return false;
}

void EngineStream::captureChanged(bool captured) {
    if (captured) {
        systemKeys_.setPaused(false);
        if (window_) {
            hint_.show(*window_, hintText(settings_.releaseMouseKey));
            watchCapture();
            return;
        }
    }
    hint_.hide();
    captureWatch_ = 0;
    // Releasing the pointer let go of the keyboard too; the tap holds it again.
    systemKeys_.renew();
}

std::optional<StreamWindow::Info> EngineStream::streamWindowInfo() const {
    if (!window_ || !window_->isVisible() || window_->isMinimized() || !Desktops::isOnCurrent(*window_))
        return std::nullopt;
    return StreamWindow::Info{static_cast<std::uint32_t>(window_->winId()), QRectF(window_->frameGeometry())};
}

// ---- Ending ----

void EngineStream::tearDown() {
    ++generation_;
    statsTimer_ = 0;
    captureWatch_ = 0;
    cursorWatch_ = 0;
    reshapeTicket_ = 0;
    systemKeys_.stop();
    hint_.hide();
    for (const auto& observer : observers_) disconnect(observer);
    observers_.clear();
    if (view_) {
        // Stopped first, so the figures logged are final; the cover it would fade goes with the window.
        view_->onFirstPicture = nullptr;
        view_->stop();
        logStatsFinal(*view_);
        if (auto frame = view_->slot().take(); frame && frame->image) StartView::saveSnapshot(*frame->image);
        view_->releaseAllInput();
    }
    if (gamepadsStarted_) {
        gamepads_->stop();
        gamepadsStarted_ = false;
    }
    gamepads_->send = nullptr;
    {
        // The decoder's thread puts into the view's slot; from here on it puts nowhere.
        std::lock_guard guard(outlet_->lock);
        outlet_->slot = nullptr;
    }
    if (QPointer<StreamWindowWidget> window = std::exchange(window_, nullptr)) {
        window->clearDelegate();
        if (sidewaysBox_) sidewaysBox_->hide();
        window->close();
        window->hide();
        // Never deleted here: this may run inside the window's or the view's own event handler.
        window->deleteLater();
    }
    view_ = nullptr;
    if (auto audio = std::exchange(audio_, nullptr)) audio->stop();
    pipeline_.reset();
    setSession(nullptr);
    sessionId_ = 0;
    closingOnPurpose = false;
}

void EngineStream::ended(std::uint64_t sessionId, const std::string& reason) {
    // Only the current session's end counts: an old one (closed, or restarted by a reshape) is dropped.
    if (!window_ || sessionId != sessionId_) return;
    Log::write("engine: the session ended: " + reason);
    auto kept = session_;
    tearDown();
    stopLater(std::move(kept));
    if (onEnded) onEnded(reason);
}

void EngineStream::windowWillClose() {
    auto kept = session_;
    tearDown();
    stopLater(std::move(kept));
    Log::write("engine: window closed");
    if (onEnded) onEnded(std::nullopt);
}

// ---- Statistics ----

std::optional<double> EngineStream::endToEndMs() const {
    if (!view_ || !session_) return std::nullopt;
    const double m = view_->latencyMs().packetToShow;
    if (!(m > 0)) return std::nullopt;
    return m + (view_->hostProcessingMs() + double(session_->stats().rttMs) * 0.5);
}

void EngineStream::logStats() {
    if (!view_ || !pipeline_ || !session_ || restarting_) return;
    const auto latency = view_->latencyMs();
    const auto session = session_->stats();
    const auto video = pipeline_->stats();
    Log::write(format("engine: end to end %.1f ms (box %.1f, cable %.1f, Mac %.1f)", endToEndMs().value_or(0),
                      view_->hostProcessingMs(), double(session.rttMs) * 0.5, latency.packetToShow));
    const char* decoder = !video.hardwareDecoder ? "no" : *video.hardwareDecoder ? "hardware" : "SOFTWARE";
    Log::write(format("engine: shown %d FPS (%d total), decoded %lld, %s decoder %lldx%lld, lost %lld, rebuilt %lld "
                      "packets, keyframe requests %lld, decode errors %lld, packet to screen %.1f ms, control RTT %lld ms",
                      view_->shownFPS(), view_->shownTotal(), (long long)video.decoded, decoder, (long long)video.width,
                      (long long)video.height, (long long)video.framesLost, (long long)video.packetsRecovered,
                      (long long)video.keyframeRequests, (long long)video.decodeErrors, latency.packetToShow,
                      (long long)session.rttMs));
    if (audio_) {
        const auto sound = audio_->stats();
        Log::write("engine: sound: " + std::to_string(sound.frames) + " frames, rebuilt " + std::to_string(sound.recovered) +
                   ", lost " + std::to_string(sound.lost) + ", buffered " + std::to_string(sound.bufferedMs) +
                   " ms, underruns " + std::to_string(sound.underruns) + ", trimmed " + std::to_string(sound.trimmedMs) +
                   " ms, drift +" + std::to_string(sound.stretched) + "/-" + std::to_string(sound.squeezed));
    }
}

void EngineStream::logStatsFinal(stream::StreamView& view) {
    if (!pipeline_) return;
    const auto video = pipeline_->stats();
    Log::write("engine: session totals: shown " + std::to_string(view.shownTotal()) + " frames, decoded " +
               std::to_string(video.decoded) + ", lost " + std::to_string(video.framesLost) + ", rebuilt " +
               std::to_string(video.packetsRecovered) + " packets, keyframe requests " +
               std::to_string(video.keyframeRequests));
}

QCoro::Task<> EngineStream::statsLoop(Generation generation) {
    const std::weak_ptr<int> life = life_;
    const std::uint64_t watch = statsTimer_ = ++watchSerial_;
    for (;;) {
        co_await clock_.sleep(5.0);
        if (life.expired() || statsTimer_ != watch || generation != generation_) co_return;
        logStats();
    }
}

}  // namespace corvane
