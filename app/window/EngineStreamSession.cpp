// Starting a session for the stream window: pairing check, the application to stream, the configuration,
// the engine's session and pipelines wired back into the window, and the box's wallpaper refresh.
#include "app/window/EngineStream.hpp"

#include <algorithm>
#include <charconv>

#include "app/services/BoxEndpoint.hpp"
#include "app/services/Log.hpp"
#include "app/services/OnPool.hpp"
#include "engine/Text.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/http/Http.hpp"

namespace corvane {

namespace {

// The shortest text that reads back as the same double, with ".0" on whole numbers.
std::string shortest(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string out(text, result.ptr);
    if (out.find_first_of(".en") == std::string::npos) out += ".0";
    return out;
}

QCoro::Task<> sendWallpaperRefresh(Clock& clock, AppPool& pool, std::string reason, double after) {
    if (after > 0) co_await clock.sleep(after);
    platform::HttpRequest request;
    request.host = BoxEndpoint::address();
    request.port = BoxEndpoint::agentPort;
    request.path = "/v1/user/wallpaper/refresh";
    request.query = {{"reason", reason}};
    request.method = "POST";
    request.timeoutSeconds = 5.0;
    try {
        const auto work = [request](std::stop_token token) {
            return platform::Http::perform(request, token);
        };
        const auto reply = co_await onPool(pool, work);
        Log::write("engine: wallpaper refresh (" + reason + "): " + std::to_string(reply.status) + " " +
                   stream::text::forLog(std::string_view(reinterpret_cast<const char*>(reply.body.data()), reply.body.size())));
    } catch (const std::exception& error) {
        Log::write("engine: wallpaper refresh (" + reason + ") failed: " + error.what());
    }
}

}  // namespace

void EngineStream::refreshBoxWallpaper(const std::string& reason, double after) {
    sendWallpaperRefresh(clock_, pool_, reason, after);
}

QCoro::Task<> EngineStream::startSession(Generation generation) {
    const std::weak_ptr<int> life = life_;
    auto ours = [&] { return !life.expired() && alive(generation); };
    if (!host_ || !view_) co_return;
    if (matchWindow_) {
        co_await prepareBoxDisplay(generation, streamSize_);
        if (!ours()) co_return;
    }
    const int bitrateKbps = settings_.bitrateMbps >= 1
                                ? std::min(settings_.bitrateMbps, StreamSettings::maximumBitrateMbps) * 1000
                                : settings_.automaticBitrateKbps();
    // X11 shows no HDR.
    const bool hdr = false;
    if (settings_.hdr)
        Log::write(std::string("engine: HDR is on in Settings, but ") +
                   (codec_ == stream::StreamConfig::Codec::hevc ? "this screen can't show HDR" : "HDR needs HEVC") +
                   "; streaming SDR");
    view_->slot().setPacing(settings_.framePacing);

    const auto host = host_;
    const auto askInfo = [host](std::stop_token token) { return host->pairedServerInfo(token); };
    const auto info = co_await onPool(pool_, askInfo);
    if (!ours()) co_return;
    if (!info || !info->paired) throw Error::notPaired();
    const auto askApps = [host](std::stop_token token) { return host->appList(token); };
    const auto apps = co_await onPool(pool_, askApps);
    if (!ours()) co_return;
    const auto desktop = std::find_if(apps.begin(), apps.end(), [](const auto& app) { return app.title == "Desktop"; });
    const std::int64_t current = info->currentGame;

    std::int64_t appID = 0;
    bool resume = false;
    if (desktop != apps.end()) {
        if (current == 0) {
            appID = desktop->id;
        } else if (current == desktop->id && !defaults_->boolean("Corvane.EngineResumeDesktop")) {
            appID = current;
            Log::write("engine: starting Desktop fresh instead of resuming (resume shows black)");
            const auto cancel = [host](std::stop_token token) { host->cancel(token); };
            co_await onPool(pool_, cancel);
            if (!ours()) co_return;
        } else {
            appID = current;
            resume = true;
        }
    } else if (current == 0) {
        throw Error::noDesktop();
    } else {
        appID = current;
        resume = true;
    }

    const std::int64_t channels = settings_.audio == StreamSettings::AudioChannels::surround71   ? 8
                                  : settings_.audio == StreamSettings::AudioChannels::surround51 ? 6
                                                                                                 : 2;
    stream::StreamConfig config(streamSize_.width, streamSize_.height, settings_.fps, bitrateKbps, codec_, channels, 1392);
    config.optimizeGameSettings = false;
    config.yuv444 = settings_.yuv444;
    config.hdr = hdr;
    auto session = std::make_shared<stream::StreamSession>(host, config, appID);
    streamInfo_ = settings_.statsInfo();
    streamInfo_->width = streamSize_.width;
    streamInfo_->height = streamSize_.height;
    streamInfo_->codec = codec_ == stream::StreamConfig::Codec::h264 ? "H.264" : "HEVC";
    streamInfo_->bitrateMbps = bitrateKbps / 1000;
    streamInfo_->hdr = hdr;
    session->requestKeyframeAtStart = !defaults_->boolean("Corvane.EngineNoEarlyKeyframe");
    auto pipeline = stream::VideoPipeline::make(codec_, session);
    if (const double loss = defaults_->number("Corvane.EngineSimulatedLoss"); loss > 0) {
        pipeline->setSimulatedLossPercent(loss);
        Log::write("engine: TEST MODE: dropping " + shortest(loss) + "% of video packets");
    }
    pipeline->setOnDecoded([outlet = outlet_](const stream::DecodedFrame& frame) {
        std::lock_guard guard(outlet->lock);
        if (outlet->slot) outlet->slot->put(frame);
    });
    const std::uint64_t id = ++nextSessionId_;
    session->onEnded = [relay = relay_, id](const std::string& reason) {
        std::lock_guard guard(relay->lock);
        if (EngineStream* stream = relay->stream)
            QMetaObject::invokeMethod(stream, [stream, id, reason] { stream->ended(id, reason); }, Qt::QueuedConnection);
    };
    session->onRumble = [relay = relay_, id](std::int64_t slot, std::uint16_t low, std::uint16_t high) {
        std::lock_guard guard(relay->lock);
        if (EngineStream* stream = relay->stream)
            QMetaObject::invokeMethod(
                stream,
                [stream, id, slot, low, high] {
                    if (id == stream->sessionId_) stream->gamepads_->rumble(slot, low, high);
                },
                Qt::QueuedConnection);
    };
    setSession(session);
    sessionId_ = id;
    pipeline_ = pipeline;
    try {
        audio_ = stream::AudioPipeline::make(session, channels);
    } catch (...) {
        audio_ = nullptr;
    }
    Log::write("engine: opening Windows " + std::to_string(streamSize_.width) + "x" + std::to_string(streamSize_.height) +
               " at " + std::to_string(settings_.fps) + " FPS, " + streamInfo_->codec + ", " +
               std::to_string(streamInfo_->bitrateMbps) + " Mbps" + (resume ? " (resuming)" : ""));

    try {
        const auto start = [session, resume](std::stop_token token) { session->start(resume, token); };
        co_await onPool(pool_, start);
    } catch (...) {
        if (life.expired()) co_return;
        if (!alive(generation) || session_ != session) {
            // The window closed while the session was starting: its failure is nobody's to report.
            stopLater(session);
            co_return;
        }
        throw;
    }
    if (life.expired()) co_return;  // the last reference stops it
    if (!alive(generation) || session_ != session) {
        // Came up after its window closed (or was replaced): stopped at once, the application kept.
        stopLater(session);
        co_return;
    }
    pipeline->startWatchdog();
    if (matchWindow_) refreshBoxWallpaper("session start", 3.0);
    if (audio_) {
        try {
            audio_->start();
        } catch (const std::exception& error) {
            Log::write(std::string("engine: sound could not start: ") + error.what());
        }
    }
    view_->inputHooks.streamSize = {double(streamSize_.width), double(streamSize_.height)};
    const auto timings = session->timings();
    Log::write("engine: session up in " + std::to_string(timings.totalMs) + " ms (launch " +
               std::to_string(timings.launchMs) + ", RTSP " + std::to_string(timings.rtspMs) + ", control " +
               std::to_string(timings.controlMs) + ")");
}

}  // namespace corvane
