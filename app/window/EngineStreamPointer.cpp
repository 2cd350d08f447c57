// When the pointer is captured without a click (Windows hid its cursor: a game took the mouse) and every
// event that frees it again, so that the pointer never stays trapped in a window the user has left.
#include "app/window/EngineStream.hpp"

#include <QCursor>
#include <QGuiApplication>

#include <nlohmann/json.hpp>

#include "app/services/BoxEndpoint.hpp"
#include "app/services/Log.hpp"
#include "app/window/Desktops.hpp"
#include "app/services/OnPool.hpp"
#include "app/window/StreamWindowWidget.hpp"
#include "platform/http/Http.hpp"

namespace corvane {

namespace {

// The "visible" member of a 200 reply; none for anything else.
std::optional<bool> cursorVisible(const platform::HttpResponse& reply) {
    if (reply.status != 200) return std::nullopt;
    const auto json = nlohmann::json::parse(reply.body.begin(), reply.body.end(), nullptr, false);
    if (!json.is_object()) return std::nullopt;
    const auto visible = json.find("visible");
    if (visible == json.end() || !visible->is_boolean()) return std::nullopt;
    return visible->get<bool>();
}

}  // namespace

bool EngineStream::isKeyAndActive() const {
    return window_ && window_->isActiveWindow() && QGuiApplication::applicationState() == Qt::ApplicationActive;
}

bool EngineStream::isInFront() const {
    return isKeyAndActive() && Desktops::isOnCurrent(*window_) && window_->isVisible() && !window_->isMinimized();
}

void EngineStream::watchWindowsCursor() {
    cursorWatch_ = ++watchSerial_;
    cursorLoop(generation_, cursorWatch_);
}

QCoro::Task<> EngineStream::cursorLoop(Generation generation, std::uint64_t watch) {
    const std::weak_ptr<int> life = life_;
    for (;;) {
        co_await clock_.sleep(0.25);
        if (life.expired() || cursorWatch_ != watch || !alive(generation)) co_return;
        // Each tick asks on its own: a slow reply never holds back the next tick.
        cursorTick(generation, watch);
    }
}

QCoro::Task<> EngineStream::cursorTick(Generation generation, std::uint64_t) {
    const std::weak_ptr<int> life = life_;
    if (!window_ || !view_ || !isKeyAndActive()) co_return;
    const std::uint64_t sequence = ++cursorSequence_;
    platform::HttpRequest request;
    request.host = BoxEndpoint::address();
    request.port = BoxEndpoint::agentPort;
    request.path = "/v1/user/cursor";
    request.timeoutSeconds = 1.0;
    std::optional<bool> visible;
    try {
        const auto work = [request](std::stop_token token) {
            return platform::Http::get(request, token);
        };
        const auto reply = co_await onPool(pool_, work);
        visible = cursorVisible(reply);
    } catch (const std::exception&) {
        co_return;
    }
    if (life.expired() || !alive(generation) || !visible) co_return;
    cursorReply(sequence, *visible);
}

void EngineStream::cursorReply(std::uint64_t sequence, bool visible) {
    // Replies are handled in the order the polls went out: one older than a reply already applied is stale.
    ++cursorReplies_;
    if (sequence <= cursorApplied_ || !view_) return;
    cursorApplied_ = sequence;
    if (!visible) {
        const double now = clock_.uptime();
        if (!cursorHiddenSince_) cursorHiddenSince_ = now;
        if (autoCaptureHeld_) return;
        // A reply that was on its way while the user left the window (another desktop) captures nothing.
        const bool over = view_->rect().contains(view_->mapFromGlobal(QCursor::pos()));
        if (!view_->isPointerCaptured() && now - *cursorHiddenSince_ >= 0.3 - 1e-9 && over && isInFront()) {
            Log::write("engine: Windows hid its cursor (game); capturing the mouse");
            view_->inputHooks.mouseMode = stream::MouseMode::relative;
            view_->capturePointer();
        }
        return;
    }
    cursorHiddenSince_.reset();
    autoCaptureHeld_ = false;
    if (view_->isPointerCaptured()) {
        Log::write("engine: Windows shows its cursor again; releasing the mouse");
        view_->releasePointer();
    }
    if (view_) view_->inputHooks.mouseMode = stream::MouseMode::absolute;
}

void EngineStream::watchCapture() {
    captureWatch_ = ++watchSerial_;
    lastDesktop_ = Desktops::current();
    captureLoop(generation_, captureWatch_);
}

QCoro::Task<> EngineStream::captureLoop(Generation generation, std::uint64_t watch) {
    const std::weak_ptr<int> life = life_;
    for (;;) {
        co_await clock_.sleep(0.25);
        if (life.expired() || captureWatch_ != watch || !alive(generation)) co_return;
        captureTick();
    }
}

void EngineStream::captureTick() {
    if (!window_ || !view_) return;
    const auto desktop = Desktops::current();
    if (desktop != lastDesktop_) {
        lastDesktop_ = desktop;
        if (view_->isPointerCaptured()) {
            Log::write("engine: releasing the mouse: desktop changed");
            view_->releaseAllInput();
            return;
        }
    }
    if (!isInFront() && view_->isPointerCaptured()) {
        Log::write("engine: releasing the mouse: window no longer in front");
        view_->releaseAllInput();
    }
    // No Mission Control on this desktop.
}

void EngineStream::applicationStateChanged(Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive || !view_ || !view_->isPointerCaptured()) return;
    Log::write("engine: releasing the mouse: Corvane not active");
    view_->releaseAllInput();
}

void EngineStream::windowDidResignKey() {
    if (view_) view_->releaseAllInput();
}

void EngineStream::updateSystemKeys() {
    if (!settings_.sendMacShortcuts || !view_ || !window_) return;
    if (!window_->isFullScreen()) return;
    if (systemKeys_.start(*window_))
        hint_.show(*window_, systemKeysHintText(settings_.releaseMouseKey));
}

}  // namespace corvane
