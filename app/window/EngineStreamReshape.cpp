// The box follows the window's shape: after a resize or a full-screen change the nearest ready shape is
// offered to the box agent and asked of the streaming host; without a picture of the new size the stream is
// restarted, retried once, and at last put back at its old size.
#include "app/window/EngineStream.hpp"

#include <cmath>

#include <nlohmann/json.hpp>

#include "app/services/BoxEndpoint.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "engine/Text.hpp"
#include "app/window/PointerButtons.hpp"
#include "app/window/StartView.hpp"
#include "app/window/StreamShape.hpp"
#include "app/window/StreamWindowWidget.hpp"
#include "platform/http/Http.hpp"

namespace corvane {

namespace {

std::string sizeText(const StreamSettings::Pixels& size) {
    return std::to_string(size.width) + "x" + std::to_string(size.height);
}

struct Posted {
    long status = 0;
    std::string text;
};

QCoro::Task<Posted> postDisplay(AppPool& pool, const nlohmann::json& body) {
    platform::HttpRequest request;
    request.host = BoxEndpoint::address();
    request.port = BoxEndpoint::agentPort;
    request.path = "/v1/display/mode";
    request.method = "POST";
    request.headers = {{"Content-Type", "application/json"}};
    const std::string text = body.dump();
    request.body = Bytes(text.begin(), text.end());
    request.timeoutSeconds = 60;
    try {
        const auto work = [request](std::stop_token token) {
            return platform::Http::perform(request, token);
        };
        const auto reply = co_await onPool(pool, work);
        co_return Posted{reply.status,
                         stream::text::forLog(std::string_view(reinterpret_cast<const char*>(reply.body.data()), reply.body.size()))};
    } catch (const std::exception&) {
        co_return Posted{0, "no answer"};
    }
}

}  // namespace

void EngineStream::windowResized() {
    // The app's own resizes (opening, the sideways answer) are no drag.
    if (!window_ || window_->size() == ownSize_) return;
    ownSize_ = QSize();
    scheduleReshape();
}

void EngineStream::windowDidEnterFullScreen() {
    scheduleReshape();
    updateSystemKeys();
}

void EngineStream::windowDidExitFullScreen() {
    scheduleReshape();
    systemKeys_.stop();
}

void EngineStream::scheduleReshape() {
    if (!matchWindow_ || !window_) return;
    const std::uint64_t ticket = ++watchSerial_;
    reshapeTicket_ = ticket;
    debounce(generation_, ticket);
}

QCoro::Task<> EngineStream::debounce(Generation generation, std::uint64_t ticket) {
    const std::weak_ptr<int> life = life_;
    const auto current = [&] { return !life.expired() && reshapeTicket_ == ticket && alive(generation); };
    // X11 names no end of a drag: it is over once no window event came for the debounce while no pointer
    // button (the one that moves the frame) is held. A release is followed by one more debounce, for the
    // window manager's last word on the size; any event meanwhile starts the wait anew (a new ticket).
    for (bool held = true; held;) {
        co_await clock_.sleep(0.2);
        if (!current()) co_return;
        for (held = false; PointerButtons::held(); held = true) {
            co_await clock_.sleep(0.05);
            if (!current()) co_return;
        }
    }
    reshapeTicket_ = 0;
    co_await reshape(generation);
}

StreamSettings::Pixels EngineStream::sizeMatching() const {
    const QSize content = view_ ? view_->size() : QSize();
    return StreamShape::sizeMatching(content.width(), content.height(), streamSize_, chosenArea_,
                                     StreamShape::baseSize(settings_.size));
}

QCoro::Task<> EngineStream::reshape(Generation generation) {
    const std::weak_ptr<int> life = life_;
    if (life.expired() || !alive(generation) || !view_ || !session_) co_return;
    if (restarting_) {
        reshapePending_ = true;
        co_return;
    }
    const QSize content = view_->size();
    const std::string contentText = std::to_string(content.width()) + "x" + std::to_string(content.height()) + " pt";
    const Pixels target = sizeMatching();
    const Pixels old = streamSize_;
    if (StreamShape::closeEnough(target, old)) {
        Log::write("engine: reshape: window content " + contentText + " matches the stream (" + sizeText(old) +
                   "); nothing to do");
        co_return;
    }
    restarting_ = true;
    const std::uint64_t run = ++reshapeRuns_;
    const double began = clock_.uptime();
    Clock& clock = clock_;
    const std::function<std::int64_t()> ms = [&clock, began] {
        return static_cast<std::int64_t>((clock.uptime() - began) * 1000);
    };
    Log::write("engine: reshape: window content " + contentText + "; Windows " + sizeText(old) + " -> " + sizeText(target));

    // From here a window closed meanwhile (no view) makes every remaining step fail at once: the reshape
    // still says how it ended, puts the box back at the stream's old mode, and ends.
    co_await prepareBoxDisplay(generation, target);
    if (life.expired()) co_return;
    if (alive(generation) && session_ && view_) {
        try {
            session_->requestResize(target.width, target.height);
            Log::write("engine: reshape: listed on the box at " + std::to_string(ms()) + " ms; asking Corvane Host for " +
                       sizeText(target));
        } catch (const std::exception& error) {
            Log::write(std::string("engine: reshape: ") + error.what());
        }
        streamSize_ = target;
        view_->inputHooks.streamSize = {double(target.width), double(target.height)};
    }
    bool shown = co_await waitForPicture(generation, target, "live resize", ms, false);
    if (life.expired()) co_return;
    if (shown) {
        Log::write("engine: reshape: done in " + std::to_string(ms()) + " ms at " + sizeText(target) + " (live)");
    } else {
        Log::write("engine: reshape: no live picture at " + sizeText(target) + "; restarting the stream");
        QPointer<StartView> cover = alive(generation) && view_ ? new StartView(view_, boxName_, "Resizing...") : nullptr;
        shown = co_await restartStream(generation, target, "reshape", ms);
        if (life.expired()) co_return;
        if (!shown) {
            Log::write("engine: reshape: no picture at " + sizeText(target) + " after " + std::to_string(ms()) +
                       " ms; trying once more");
            shown = co_await restartStream(generation, target, "retry", ms);
            if (life.expired()) co_return;
        }
        if (!shown) {
            Log::write("engine: reshape: giving up on " + sizeText(target) + "; back to " + sizeText(old));
            shown = co_await restartStream(generation, old, "fallback", ms);
            if (life.expired()) co_return;
            // A window closed meanwhile has no stream left to restart, while the box may still be at the new
            // shape: it is put back straight through its agent, unless a new window has the box by now.
            if (!alive(generation) && !window_ && boxMode_ != old) {
                co_await askDisplayMode(old);
                if (life.expired()) co_return;
            }
        }
        if (cover) cover->fadeOut();
        Log::write("engine: reshape: done in " + std::to_string(ms()) + " ms at " + sizeText(streamSize_) +
                   (shown ? "" : " (no picture)"));
    }
    // A stream opened since may run a reshape of its own: its flag is not this one's to clear.
    if (run == reshapeRuns_) restarting_ = false;
    if (reshapePending_ && alive(generation)) {
        reshapePending_ = false;
        co_await reshape(generation);
    }
}

QCoro::Task<> EngineStream::prepareBoxDisplay(Generation generation, Pixels size) {
    const std::weak_ptr<int> life = life_;
    if (!shapesChecked_) {
        nlohmann::json sizes = nlohmann::json::array();
        for (const Pixels& ready : StreamShape::readySizes(chosenArea_)) sizes.push_back(nlohmann::json::array({ready.width, ready.height}));
        nlohmann::json body = nlohmann::json::object();
        body["sizes"] = sizes;
        const Posted posted = co_await postDisplay(pool_, body);
        if (life.expired()) co_return;
        // Sent, so answered in the log; a window closed meanwhile asks for no mode.
        Log::write("engine: box ready shapes (" + std::to_string(sizes.size()) + "): " + std::to_string(posted.status) +
                   " " + posted.text);
        if (generation != generation_) co_return;
        if (posted.status == 200) shapesChecked_ = true;
    }
    co_await askDisplayMode(size);
}

QCoro::Task<> EngineStream::askDisplayMode(Pixels size) {
    const std::weak_ptr<int> life = life_;
    nlohmann::json mode = nlohmann::json::object();
    mode["width"] = size.width;
    mode["height"] = size.height;
    boxMode_ = size;
    const Posted posted = co_await postDisplay(pool_, mode);
    // Answered even when the window closed meanwhile: the box may have taken it.
    if (life.expired()) co_return;
    Log::write("engine: box display mode " + sizeText(size) + ": " + std::to_string(posted.status) + " " + posted.text);
}

QCoro::Task<bool> EngineStream::waitForPicture(Generation generation, Pixels size, const char* step,
                                               std::function<std::int64_t()> ms, bool refreshWallpaper) {
    const std::weak_ptr<int> life = life_;
    if (!alive(generation) || !view_) co_return false;
    const double deadline = clock_.uptime() + 3.0;
    while (clock_.uptime() < deadline) {
        const auto frame = view_->slot().take();
        if (frame && frame->image && frame->image->width() == size.width && frame->image->height() == size.height) {
            Log::write(std::string("engine: ") + step + ": first " + sizeText(size) + " picture at " + std::to_string(ms()) + " ms");
            if (streamInfo_) streamInfo_->width = size.width, streamInfo_->height = size.height;
            if (onStreamSize) onStreamSize(size.width, size.height);
            if (refreshWallpaper) refreshBoxWallpaper("resize", 1.5);
            co_return true;
        }
        co_await clock_.sleep(0.05);
        if (life.expired() || !alive(generation) || !view_) co_return false;
    }
    co_return false;
}

QCoro::Task<bool> EngineStream::restartStream(Generation generation, Pixels size, const char* step,
                                              std::function<std::int64_t()> ms) {
    const std::weak_ptr<int> life = life_;
    if (!alive(generation) || !view_) co_return false;
    auto session = session_;
    setSession(nullptr);
    sessionId_ = 0;
    pipeline_.reset();
    if (auto audio = std::exchange(audio_, nullptr)) audio->stop();
    if (session) {
        const auto work = [session](std::stop_token token) { session->stop(false, token); };
        co_await onPool(pool_, work);
        if (life.expired() || !alive(generation) || !view_) co_return false;
    }
    Log::write(std::string("engine: ") + step + ": stream ended at " + std::to_string(ms()) + " ms");
    view_->slot().clear();
    streamSize_ = size;
    try {
        co_await startSession(generation);
    } catch (const std::exception& error) {
        if (life.expired() || !alive(generation)) co_return false;
        Log::write(std::string("engine: ") + step + ": could not start at " + sizeText(size) + ": " + error.what());
        co_return false;
    }
    if (life.expired() || !alive(generation) || !session_) co_return false;
    Log::write(std::string("engine: ") + step + ": session up at " + std::to_string(ms()) + " ms");
    co_return co_await waitForPicture(generation, size, step, ms, true);
}

}  // namespace corvane
