#pragma once

#include "boxsim/media/AudioLayout.hpp"
#include "boxsim/media/LinkImpairment.hpp"
#include "boxsim/media/VideoSource.hpp"
#include "platform/core/Bytes.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::boxsim {

// Streams one session's media as the box does: the test picture encoded at the offered frame rate and cut
// into video datagrams with parity, and the tones as 5 ms Opus packets with their parity rows, each stream
// through its own LinkImpairment. Two threads, "boxsim.video" and "boxsim.audio", run from start() until
// stop(); they hand datagrams to the sinks, which must be callable from those threads.
//
// The first picture is a keyframe, and so is the next one after requestKeyframe() or whenever the
// `keyframeWanted` sink (asked once per picture) says so. A still picture is sent as a box sends a desktop
// where nothing moves: after the first picture, one only when it changes (changePicture()) or a keyframe or
// a new size is asked for.
class MediaStreamer final {
public:
    struct Options {
        bool video = true;
        bool audio = true;
        VideoSource::Format format;
        int packetSize = 1392;
        int parityPercent = 20;
        int minParityShards = 2;
        AudioLayout audioLayout;
        int audioBitrate = 0;  // 0: AudioSource's default for the layout
        LinkImpairment::Options videoLink;
        LinkImpairment::Options audioLink;
        // Sent on the video port just before the first picture, as the datagrams of a stream that ended
        // still reach the client's port when a new session starts right after it.
        std::vector<Bytes> earlierVideo;
        std::uint32_t firstFrameIndex = 0;  // the frame index of the stream's first picture
        bool stillPicture = false;
        // The link loses every datagram of the first picture, the keyframe the stream starts with.
        bool loseFirstPicture = false;
        bool operator==(const Options&) const = default;
    };

    // A picture as it left: its frame index, its access unit and when its last datagram was sent.
    struct SentFrame {
        std::uint32_t index = 0;
        ByteView accessUnit;
        bool keyframe = false;
        std::chrono::steady_clock::time_point sentAt;
    };

    // A client's SDP offer as (key, value) attributes.
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    struct Sinks {
        std::function<bool(ByteView)> video;   // false: the datagram was not sent (counted)
        // A picture's datagrams at once, in order; answers how many went out. Optional: without it they go
        // to `video` one by one, as they do through an impairment.
        std::function<std::size_t(const std::vector<Bytes>&)> videoBurst;
        std::function<bool(ByteView)> audio;
        std::function<bool()> keyframeWanted;  // optional
        // Asked once per picture: a new picture size to encode at from now on (a new encoder, keyframe
        // first). Optional.
        std::function<std::optional<std::pair<int, int>>()> resizeWanted;
        // Called once a picture's datagrams have gone out (through an impairment: all it let through at
        // once), on the video thread; the access unit is only valid during the call. Optional.
        std::function<void(const SentFrame&)> frameSent;
    };

    struct Stats {
        std::int64_t frames = 0;          // pictures cut into datagrams
        std::int64_t keyframes = 0;
        std::int64_t videoDatagrams = 0;  // handed to the sink, after the impairment
        std::int64_t audioPackets = 0;    // Opus packets made
        std::int64_t audioDatagrams = 0;  // handed to the sink, after the impairment
        std::int64_t sendFailures = 0;    // the sink said it could not send
        std::int64_t framesNotSent = 0;  // the encoder gave nothing or the frame could not be cut up
    };

    // The options for a session: `base` with what the offer asks for (size, frame rate, bitrate, codec,
    // packet size, minimum parity, audio channels, the last taken from the layouts in the box's own
    // DESCRIBE body). Values that are missing, not numbers or out of range leave `base`'s.
    static Options forOffer(Options base, const Attributes& offer, std::string_view describeSdp);

    MediaStreamer(Options options, Sinks sinks);
    ~MediaStreamer();
    MediaStreamer(const MediaStreamer&) = delete;
    MediaStreamer& operator=(const MediaStreamer&) = delete;

    void start();
    // Ends both threads (after the picture being encoded) and drops what the impairment still holds.
    // Safe more than once.
    void stop();
    void requestKeyframe() { keyframeAsked_.store(true); }
    // The still picture changes: the next one is sent.
    void changePicture() { pictureChanged_.store(true); }

    Stats stats() const;
    const Options& options() const { return options_; }

private:
    void runVideo();
    void runAudio();
    // Waits until `until` or stop(); false once stopped.
    bool sleepUntil(std::chrono::steady_clock::time_point until);

    const Options options_;
    const Sinks sinks_;
    std::atomic<bool> keyframeAsked_{false};
    std::atomic<bool> pictureChanged_{false};

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Stats stats_;
    std::thread video_;
    std::thread audio_;
};

} // namespace corvane::boxsim
