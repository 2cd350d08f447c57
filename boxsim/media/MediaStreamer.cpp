#include "boxsim/media/MediaStreamer.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

#include <pthread.h>

#include "boxsim/media/AudioPacketizer.hpp"
#include "boxsim/media/AudioSource.hpp"
#include "boxsim/media/VideoPacketizer.hpp"
#include "platform/log/SystemLog.hpp"

namespace corvane::boxsim {
namespace {

using Clock = std::chrono::steady_clock;

std::optional<long long> number(const MediaStreamer::Attributes& offer, std::string_view key) {
    for (const auto& [k, v] : offer) {
        if (k != key) continue;
        long long n = 0;
        const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), n);
        if (error != std::errc() || end != v.data() + v.size()) return std::nullopt;
        return n;
    }
    return std::nullopt;
}

void log(const std::string& line) { platform::SystemLog::write("boxsim", line); }

// Sends what the link lets through by now.
template <typename Send>
void flush(LinkImpairment& link, Clock::time_point now, Send&& send) {
    for (Bytes& datagram : link.takeDue(now)) send(datagram);
}

} // namespace

MediaStreamer::Options MediaStreamer::forOffer(Options base, const Attributes& offer, std::string_view describeSdp) {
    auto take = [&](std::string_view key, long long low, long long high, int& field) {
        if (auto n = number(offer, key); n && *n >= low && *n <= high) field = static_cast<int>(*n);
    };
    take("x-nv-video[0].clientViewportWd", 16, 8192, base.format.width);
    take("x-nv-video[0].clientViewportHt", 16, 8192, base.format.height);
    take("x-nv-video[0].maxFPS", 1, 240, base.format.fps);
    take("x-nv-vqos[0].bw.maximumBitrateKbps", 100, 500000, base.format.bitrateKbps);
    take("x-nv-video[0].packetSize", 1, 65000, base.packetSize);
    take("x-nv-vqos[0].fec.minRequiredFecPackets", 0, 254, base.minParityShards);
    if (auto format = number(offer, "x-nv-vqos[0].bitStreamFormat"))
        if (auto codec = videoCodecFromFormat(*format)) base.format.codec = *codec;
    if (auto channels = number(offer, "x-nv-audio.surround.numChannels"); channels && *channels >= 1 && *channels <= 8) {
        const int n = static_cast<int>(*channels);
        base.audioLayout = AudioLayout::fromSdp(describeSdp, n).value_or(AudioLayout::standard(n));
    }
    return base;
}

MediaStreamer::MediaStreamer(Options options, Sinks sinks) : options_(std::move(options)), sinks_(std::move(sinks)) {}

MediaStreamer::~MediaStreamer() { stop(); }

void MediaStreamer::start() {
    std::lock_guard guard(lock_);
    if (video_.joinable() || audio_.joinable() || stopping_) return;
    if (options_.video) video_ = std::thread([this] { runVideo(); });
    if (options_.audio) audio_ = std::thread([this] { runAudio(); });
}

void MediaStreamer::stop() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (video_.joinable()) video_.join();
    if (audio_.joinable()) audio_.join();
}

MediaStreamer::Stats MediaStreamer::stats() const {
    std::lock_guard guard(lock_);
    return stats_;
}

bool MediaStreamer::sleepUntil(Clock::time_point until) {
    std::unique_lock lock(lock_);
    changed_.wait_until(lock, until, [&] { return stopping_; });
    return !stopping_;
}

void MediaStreamer::runVideo() {
    pthread_setname_np(pthread_self(), "boxsim.video");
    std::optional<VideoSource> source;
    std::optional<VideoPacketizer> packetizer;
    try {
        source.emplace(options_.format);
        packetizer.emplace(VideoPacketizer::Options{options_.packetSize, options_.parityPercent,
                                                    options_.minParityShards, 0});
    } catch (const std::exception& error) {
        log(std::string("video not sent: ") + error.what());
        return;
    }
    const VideoSource::Format& format = source->format();
    log("video " + std::string(toString(format.codec)) + " " + std::to_string(format.width) + "x" +
        std::to_string(format.height) + " at " + std::to_string(format.fps) + " fps, " +
        std::to_string(format.bitrateKbps) + " kbit/s, packets of " + std::to_string(options_.packetSize) + " bytes");

    LinkImpairment link(options_.videoLink);
    const bool impaired = options_.videoLink.active();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / format.fps));
    const Clock::time_point start = Clock::now();
    Clock::time_point nextFrame = start;
    std::uint32_t frameIndex = options_.firstFrameIndex;
    bool wantKey = true;
    bool pictured = false;  // a picture has been sent

    // `total` datagrams handed to the port, of which `sent` went out.
    auto count = [&](std::size_t total, std::size_t sent) {
        std::lock_guard guard(lock_);
        stats_.videoDatagrams += static_cast<std::int64_t>(total);
        stats_.sendFailures += static_cast<std::int64_t>(total - std::min(sent, total));
    };
    auto send = [&](const Bytes& datagram) { count(1, sinks_.video && sinks_.video(datagram)); };

    for (const Bytes& datagram : options_.earlierVideo) send(datagram);
    for (;;) {
        Clock::time_point wake = nextFrame;
        if (auto due = link.nextDue(); due && *due < wake) wake = *due;
        if (!sleepUntil(wake)) break;
        const Clock::time_point now = Clock::now();
        flush(link, now, send);
        if (now < nextFrame) continue;

        if (keyframeAsked_.exchange(false)) wantKey = true;
        if (sinks_.keyframeWanted && sinks_.keyframeWanted()) wantKey = true;
        if (auto size = sinks_.resizeWanted ? sinks_.resizeWanted() : std::nullopt) {
            VideoSource::Format resized = source->format();
            resized.width = size->first;
            resized.height = size->second;
            try {
                source.emplace(resized);
                wantKey = true;
                log("video resized to " + std::to_string(resized.width) + "x" + std::to_string(resized.height));
            } catch (const std::exception& error) {
                log(std::string("video not resized: ") + error.what());
                break;
            }
        }
        if (options_.stillPicture && pictured && !wantKey && !pictureChanged_.exchange(false)) {
            nextFrame += period;  // nothing moved: nothing to send
            continue;
        }
        VideoSource::Frame frame = source->next(wantKey);
        std::vector<Bytes> datagrams;
        if (!frame.accessUnit.empty()) {
            // A 90 kHz clock from the session's start.
            const auto ticks = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 90000>>>(
                nextFrame - start);
            try {
                datagrams = packetizer->packetize(frame.accessUnit, frameIndex, static_cast<std::uint32_t>(ticks.count()),
                                                  frame.keyframe, frame.encodeMs);
            } catch (const std::exception& error) {
                log(std::string("video frame not sent: ") + error.what());
            }
        }
        if (datagrams.empty()) {
            // The index stays unused, so the receiver sees no gap; but later pictures may refer to this one,
            // so the next one sent must not.
            wantKey = true;
            std::lock_guard guard(lock_);
            ++stats_.framesNotSent;
        } else {
            if (frame.keyframe) wantKey = false;
            const bool lost = options_.loseFirstPicture && !pictured;
            pictured = true;
            ++frameIndex;
            {
                std::lock_guard guard(lock_);
                ++stats_.frames;
                if (frame.keyframe) ++stats_.keyframes;
            }
            const Clock::time_point sentAt = Clock::now();
            if (lost) {
                // Gone on the way: the client never sees it.
            } else if (impaired) {
                for (Bytes& datagram : datagrams) link.submit(std::move(datagram), sentAt);
                flush(link, sentAt, send);
            } else if (sinks_.videoBurst) {
                count(datagrams.size(), sinks_.videoBurst(datagrams));
            } else {
                for (const Bytes& datagram : datagrams) send(datagram);
            }
            if (sinks_.frameSent)
                sinks_.frameSent(SentFrame{frameIndex - 1, frame.accessUnit, frame.keyframe, Clock::now()});
        }
        // Behind by more than a frame (a slow encoder): the next picture now, not a burst of catching up.
        nextFrame += period;
        if (const Clock::time_point late = Clock::now(); nextFrame + period < late) nextFrame = late;
    }
}

void MediaStreamer::runAudio() {
    pthread_setname_np(pthread_self(), "boxsim.audio");
    std::optional<AudioSource> source;
    try {
        source.emplace(options_.audioLayout, options_.audioBitrate);
    } catch (const std::exception& error) {
        log(std::string("audio not sent: ") + error.what());
        return;
    }
    log("audio " + std::to_string(options_.audioLayout.channels) + " channels, 5 ms Opus packets");
    AudioPacketizer packetizer(0, 0x41554449);
    LinkImpairment link(options_.audioLink);
    const bool impaired = options_.audioLink.active();
    constexpr auto period = std::chrono::milliseconds(5);
    Clock::time_point next = Clock::now();

    auto send = [&](const Bytes& datagram) {
        const bool sent = sinks_.audio && sinks_.audio(datagram);
        std::lock_guard guard(lock_);
        ++stats_.audioDatagrams;
        if (!sent) ++stats_.sendFailures;
    };

    for (;;) {
        Clock::time_point wake = next;
        if (auto due = link.nextDue(); due && *due < wake) wake = *due;
        if (!sleepUntil(wake)) break;
        const Clock::time_point now = Clock::now();
        flush(link, now, send);
        if (now < next) continue;
        const Bytes opus = source->next();
        auto datagrams = packetizer.packetize(opus);
        if (!opus.empty()) {
            std::lock_guard guard(lock_);
            ++stats_.audioPackets;
        }
        for (Bytes& datagram : datagrams) {
            if (impaired) link.submit(std::move(datagram), now);
            else send(datagram);
        }
        if (impaired) flush(link, now, send);
        // Real time: a short stall is made up packet by packet, a long one (over 100 ms) is skipped.
        next += period;
        if (next + std::chrono::milliseconds(100) < now) next = now + period;
    }
}

} // namespace corvane::boxsim
