#include "engine/video/VideoPipeline.hpp"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/EngineLog.hpp"

namespace corvane::stream {

std::shared_ptr<VideoPipeline> VideoPipeline::make(StreamConfig::Codec codec,
                                                   const std::shared_ptr<StreamSession>& session) {
    return make(codec, session, Options{});
}

std::shared_ptr<VideoPipeline> VideoPipeline::make(StreamConfig::Codec codec,
                                                   const std::shared_ptr<StreamSession>& session, Options options) {
    if (!session) throw std::invalid_argument("a video pipeline needs a session");
    auto pipeline = std::make_shared<VideoPipeline>(Token{}, codec, session, std::move(options));
    const std::weak_ptr<VideoPipeline> weak = pipeline;

    pipeline->assembler_.onFrame = [weak](VideoFrame frame) {
        const auto self = weak.lock();
        if (!self) return;
        try {
            self->decoder_->decode(frame);
            // While the decoder waits for a keyframe, its frames ask again, but only once the answer to the
            // last request is overdue: asking at every frame would bring a keyframe for each, and keyframes
            // are the frames a decoder that fell behind can least afford.
            if (self->decoder_->waitingForKeyframe()) self->requestKeyframe(keyframeRetry);
        } catch (const std::exception& error) {
            EngineLog::write(std::string("video: ") + error.what());
            self->requestKeyframe();
        }
    };
    pipeline->assembler_.onNeedKeyframe = [weak](std::uint32_t) {
        if (const auto self = weak.lock()) self->lossOwed_ = !self->requestKeyframe();
    };
    session->videoHandler = [weak](ByteView datagram) {
        if (const auto self = weak.lock()) self->receive(datagram);
    };
    session->videoTick = [weak] {
        if (const auto self = weak.lock()) self->tick();
    };
    return pipeline;
}

VideoPipeline::VideoPipeline(Token, StreamConfig::Codec codec, const std::shared_ptr<StreamSession>& session,
                             Options options)
    : assembler_(codec),
      decoder_(std::make_unique<VideoDecoder>(codec, session->config.hdr, options.decoderQueueLimit,
                                              options.allowHardware)),
      session_(session),
      options_(std::move(options)),
      random_(std::random_device{}()) {
    assembler_.now = options_.now;  // one clock for the frames, their time-out and the requests
}

VideoPipeline::~VideoPipeline() {
    if (watchdog_.joinable()) {
        watchdog_.request_stop();
        watchdog_.join();
    }
}

void VideoPipeline::receive(ByteView datagram) {
    {
        std::lock_guard guard(lock_);
        ++packets_;
    }
    if (tap) tap(datagram);
    const double lossPercent = simulatedLossPercent();
    if (lossPercent > 0) {
        std::uniform_real_distribution<double> draw(0.0, 100.0);
        if (draw(random_) < lossPercent) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    assembler_.add(datagram);
}

void VideoPipeline::tick() {
    assembler_.expire();
    const double now = options_.now();
    if (!firstTick_) firstTick_ = now;
    // A still box's first picture lost whole leaves nothing behind to be noticed by: without a picture, one is
    // asked for from firstPictureWait after the media began.
    const bool firstMissing = assembler_.stats().framesDelivered == 0 && now - *firstTick_ >= firstPictureWait;
    if (!firstMissing && !assembler_.waitingForKeyframe() && !decoder_->waitingForKeyframe()) {
        lossOwed_ = false;
        return;
    }
    // A loss held back by the spacing (the keyframe asked for just before was lost too) is asked for as soon
    // as the spacing allows; otherwise the answer to the last request is overdue.
    if (!requestKeyframe(lossOwed_ ? keyframeInterval : keyframeRetry, !firstMissing)) return;
    lossOwed_ = false;
    if (firstMissing && !firstAsked_) {
        firstAsked_ = true;
        EngineLog::write("video: no picture 0.5 s after the media began; asking for a keyframe");
    }
}

bool VideoPipeline::requestKeyframe(double interval, bool again) {
    const double now = options_.now();
    {
        std::lock_guard guard(lock_);
        if (again && !lastRequest_) return false;
        if (lastRequest_ && now - *lastRequest_ <= interval) return false;
        lastRequest_ = now;
        ++keyframeRequests_;
    }
    if (const auto session = session_.lock()) session->requestKeyframe();
    return true;
}

bool VideoPipeline::sleepFor(std::stop_token stop, double seconds) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock wait(mutex);
    wake.wait_for(wait, stop, std::chrono::duration<double>(seconds), [] { return false; });
    return !stop.stop_requested();
}

void VideoPipeline::startWatchdog() {
    std::lock_guard guard(watchdogLock_);
    if (watchdog_.joinable()) return;
    // Joined when the pipeline goes, so it may use the pipeline directly; the wait ends early then.
    watchdog_ = std::jthread([this](std::stop_token stop) {
        if (!options_.sleep(stop, options_.watchdogDelay)) return;
        std::int64_t packets = 0;
        {
            std::lock_guard countGuard(lock_);
            packets = packets_;
        }
        if (packets == 0) EngineLog::write("WARNING: video: no video packets 3 s after the session started");
        // A box whose picture stands still sends nothing more, so a first picture lost whole is never seen
        // as lost: without a picture yet, ask for one (the ticks ask again until one shows).
        if (assembler_.stats().framesDelivered > 0) return;
        EngineLog::write("video: no picture 3 s after the session started; asking for a keyframe");
        requestKeyframe();
    });
}

VideoPipeline::Stats VideoPipeline::stats() const {
    const FrameAssembler::Stats assembled = assembler_.stats();
    const VideoDecoder::Stats decoded = decoder_->stats();
    Stats out;
    {
        std::lock_guard guard(lock_);
        out.packets = packets_;
        out.keyframeRequests = keyframeRequests_;
    }
    out.framesDelivered = assembled.framesDelivered;
    out.framesLost = assembled.framesLost;
    out.packetsRecovered = assembled.packetsRecovered;
    out.simulatedDrops = dropped_.load(std::memory_order_relaxed);
    out.framesSkippedWaitingForKeyframe = assembled.framesSkippedWaitingForKeyframe;
    out.badPackets = assembled.packetsBad;
    out.decoded = decoded.decoded;
    out.decodeErrors = decoded.errors;
    out.hardwareDecoder = decoded.hardware;
    out.width = decoded.width;
    out.height = decoded.height;
    out.decodeDrops = decoded.dropped;
    return out;
}

}  // namespace corvane::stream
