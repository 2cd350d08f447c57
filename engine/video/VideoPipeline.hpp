#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stop_token>
#include <thread>

#include "engine/Uptime.hpp"
#include "engine/session/StreamConfig.hpp"
#include "engine/session/StreamSession.hpp"
#include "engine/video/FrameAssembler.hpp"
#include "engine/video/VideoDecoder.hpp"
#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// The video path of one streaming session: the session's video datagrams go to a FrameAssembler, its
// frames to a VideoDecoder, and a lost frame or a failed decode asks the box for a keyframe, at most once
// every 0.1 s (while the decoder waits for the keyframe it asked for after falling behind, at most once
// every 0.5 s). Also a test switch that drops a share of the datagrams, a tap that sees every datagram, a
// start-up watchdog and one statistics snapshot.
//
// A box whose picture stands still sends nothing after a picture, so no later datagram tells that it, or the
// keyframe asked for in its place, was lost. Between datagrams the media thread ticks the pipeline (the
// session's videoTick): a frame that stopped arriving is lost there, and while a keyframe asked for has not
// come, or no picture has come firstPictureWait after the media began, one is asked for every keyframeRetry.
//
// The pipeline installs itself as the session's videoHandler when made, so make it before the session
// starts. It never keeps the session alive (it holds it weakly), and the session reaches it only weakly:
// releasing the pipeline ends video handling even while the session runs.
//
// Threads: datagrams, ticks, assembly, decode submission and keyframe requests run on "corvane.media"; decoded
// pictures reach onDecoded on the decoder's thread; stats() from any thread; the watchdog has a thread of
// its own that ends with the pipeline.
class VideoPipeline final {
    struct Token {};

public:
    struct Stats {
        std::int64_t packets = 0;
        std::int64_t framesDelivered = 0;
        std::int64_t framesLost = 0;
        std::int64_t packetsRecovered = 0;
        std::int64_t keyframeRequests = 0;
        std::int64_t simulatedDrops = 0;
        std::int64_t framesSkippedWaitingForKeyframe = 0;
        std::int64_t badPackets = 0;
        std::int64_t decoded = 0;
        std::int64_t decodeErrors = 0;
        std::optional<bool> hardwareDecoder;
        std::int64_t width = 0;
        std::int64_t height = 0;
        std::int64_t decodeDrops = 0;  // frames the decoder dropped because it fell behind
        bool operator==(const Stats&) const = default;
    };

    using Clock = std::function<double()>;
    using Tap = std::function<void(ByteView datagram)>;
    // Waits `seconds` on the watchdog's thread: true when the time passed, false when `stop` came first.
    using Sleep = std::function<bool(std::stop_token stop, double seconds)>;

    // Waits on the system clock.
    static bool sleepFor(std::stop_token stop, double seconds);

    struct Options {
        Clock now = uptimeSeconds;  // seconds; times the keyframe requests
        double watchdogDelay = 3.0;
        Sleep sleep = sleepFor;     // the watchdog's wait
        std::size_t decoderQueueLimit = VideoDecoder::defaultQueueLimit;
        bool allowHardware = true;
    };

    // Keyframe requests closer together than this are not sent.
    static constexpr double keyframeInterval = 0.1;
    // While a keyframe is awaited (the decoder fell behind, or one was asked for after a loss or for the
    // first picture), it is asked for again no sooner than this after the last request: twice a second at
    // most, longer than the box takes to answer.
    static constexpr double keyframeRetry = 0.5;
    // A box's first picture comes within a few hundred ms of its media starting, and its keyframe in answer to
    // a request within a tenth of a second: asked for this late, a first picture lost whole still shows within
    // a second.
    static constexpr double firstPictureWait = 0.5;

    // Makes the pipeline and installs it as the session's videoHandler. An HDR session gets a 10-bit
    // decoder. Throws the decoder's VideoDecoder::Error unchanged; then the session is left untouched.
    static std::shared_ptr<VideoPipeline> make(StreamConfig::Codec codec, const std::shared_ptr<StreamSession>& session);
    static std::shared_ptr<VideoPipeline> make(StreamConfig::Codec codec, const std::shared_ptr<StreamSession>& session,
                                               Options options);

    VideoPipeline(Token, StreamConfig::Codec codec, const std::shared_ptr<StreamSession>& session, Options options);
    ~VideoPipeline();
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    VideoDecoder& decoder() { return *decoder_; }

    // Where decoded pictures go: the decoder's onFrame. Set before the session starts.
    VideoDecoder::FrameHandler onDecoded() const { return decoder_->onFrame; }
    void setOnDecoded(VideoDecoder::FrameHandler handler) { decoder_->onFrame = std::move(handler); }

    // Percent of datagrams to drop as simulated loss; 0 is off.
    double simulatedLossPercent() const { return simulatedLossPercent_.load(std::memory_order_relaxed); }
    void setSimulatedLossPercent(double percent) { simulatedLossPercent_.store(percent, std::memory_order_relaxed); }

    // Sees every datagram as it arrives, dropped ones too. Set before the session starts.
    Tap tap;

    // Arms the start-up check: without a single datagram watchdogDelay seconds later, a warning goes to
    // the log, and without a picture a keyframe is asked for (then again every keyframeRetry until one
    // shows). Once; later calls do nothing.
    void startWatchdog();

    Stats stats() const;

private:
    void receive(ByteView datagram);
    void tick();
    // `again`: only when a request was made before, as the retry of an answer that did not come. Whether it
    // was counted (and sent, while the session lives).
    bool requestKeyframe(double interval = keyframeInterval, bool again = false);

    FrameAssembler assembler_;
    std::unique_ptr<VideoDecoder> decoder_;
    std::weak_ptr<StreamSession> session_;
    const Options options_;

    mutable std::mutex lock_;  // guards packets_, keyframeRequests_ and lastRequest_
    std::int64_t packets_ = 0;
    std::int64_t keyframeRequests_ = 0;
    std::optional<double> lastRequest_;  // none before the first request

    std::atomic<double> simulatedLossPercent_{0};
    std::atomic<std::int64_t> dropped_{0};
    std::mt19937_64 random_;  // media thread only
    bool lossOwed_ = false;   // media thread only: a loss's request was held back by the spacing
    std::optional<double> firstTick_;  // media thread only: when the media began
    bool firstAsked_ = false;          // media thread only: the first picture was asked for

    std::mutex watchdogLock_;
    std::jthread watchdog_;  // last: stopped and joined before the rest goes
};

}  // namespace corvane::stream
