#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/session/StreamConfig.hpp"
#include "engine/video/DecodedFrame.hpp"
#include "engine/video/VideoFrame.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/video/VideoDecoderBackend.hpp"
#include "platform/video/VideoFormat.hpp"

namespace corvane::stream {

// Turns complete access units into decoded pictures (H.264 and HEVC). The parameter sets that keyframes
// carry decide the decoder's format: the first ones start a decoding session, identical ones change
// nothing, changed ones either go to the running session (same picture size and depth) or replace it.
// Units go to the session without their parameter sets; the session decodes on its own thread
// "corvane.decode" and every picture reaches onFrame there. Frames that arrive while there is no session
// are dropped without counting.
//
// The session's queue is bounded: when the decoder falls behind, decode() never waits. A full queue skips
// ahead to the newest keyframe it holds (or to an arriving keyframe), dropping the units in front of it.
// With no keyframe to skip to, the unit that does not fit is dropped, decode() throws Error::behind() once
// (the pipeline logs it and asks for a keyframe) and later non-key frames are dropped quietly until a
// keyframe. Every dropped unit counts in `dropped`.
//
// Threads: decode() and flush() on the media thread, one call at a time; stats() from any thread. onFrame
// is set before decoding starts and called outside the lock. Releasing the decoder ends its session:
// pictures still in flight are then dropped and onFrame is not called again.
class VideoDecoder final {
public:
    struct Stats {
        std::int64_t decoded = 0;  // pictures delivered
        std::int64_t errors = 0;   // failed submissions and failed or empty outputs
        std::optional<bool> hardware;  // none until the session's decoder has picked its picture format
        std::int64_t width = 0;        // the current session's picture size, 0 until one exists
        std::int64_t height = 0;
        std::int64_t dropped = 0;  // units dropped because the decoder fell behind
        bool operator==(const Stats&) const = default;
    };

    class Error final : public corvane::Error {
    public:
        enum class Kind { formatDescription, session, decode, unsupported, noParameterSets, behind };
        static Error formatDescription(std::int32_t status) {
            return Error(Kind::formatDescription, status, "video format not accepted (" + std::to_string(status) + ")");
        }
        static Error session(std::int32_t status) {
            return Error(Kind::session, status, "could not start the video decoder (" + std::to_string(status) + ")");
        }
        static Error decode(std::int32_t status) {
            return Error(Kind::decode, status, "decode failed (" + std::to_string(status) + ")");
        }
        static Error unsupported(const std::string& name) {
            return Error(Kind::unsupported, 0, name + " is not supported yet", name);
        }
        static Error noParameterSets() { return Error(Kind::noParameterSets, 0, "the keyframe had no parameter sets"); }
        static Error behind() {
            return Error(Kind::behind, 0, "the decoder fell behind; frames dropped until the next keyframe");
        }

        Kind kind;
        std::int32_t status;  // the platform's status where the case has one
        std::string name;     // unsupported: the codec's name

    private:
        Error(Kind kind, std::int32_t status, std::string description, std::string name = {})
            : corvane::Error(std::move(description)), kind(kind), status(status), name(std::move(name)) {}
    };

    using FrameHandler = std::function<void(const DecodedFrame&)>;

    // How many access units may wait for the decoder; about a quarter of a second at 30 frames a second.
    static constexpr std::size_t defaultQueueLimit = 8;

    // Whether streams in `codec` can be decoded here: H.264 and HEVC when libavcodec has their decoder; AV1
    // never, as only H.264 and HEVC parameter sets are read here.
    static bool canDecode(StreamConfig::Codec codec);

    // Throws Error::unsupported("AV1") for av1. `allowHardware` false keeps decoding in software.
    VideoDecoder(StreamConfig::Codec codec, bool tenBit, std::size_t queueLimit = defaultQueueLimit,
                 bool allowHardware = true);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    const StreamConfig::Codec codec;
    // An HDR session: a Main 10 stream's colour tags (hdrTags) stand for what its pictures leave unsaid, and
    // are logged with every new decoder. Pictures leave in whatever layout and depth the stream has
    // (PixelBuffer) with the colour they signal; outside an HDR session one that signals none is standard
    // dynamic range, whatever its depth.
    const bool tenBit;

    // Receives every decoded picture, on the decoder's thread, with the times it was queued and taken up.
    // Set before decoding starts.
    FrameHandler onFrame;

    // Submits one access unit. Throws Error (format, session, decode, noParameterSets, behind).
    void decode(const VideoFrame& frame);
    Stats stats() const;
    // Waits until the units submitted so far have come out (their pictures delivered).
    void flush();
    // True after falling behind until a keyframe is taken; the owner keeps asking the box for one meanwhile
    // (the request made when it fell behind may have been spent already). Media thread.
    bool waitingForKeyframe() const { return waitingForKeyframe_; }

    // The colour tags of an HDR10 stream, from the first HEVC sequence parameter set among `sets`: BT.2020
    // primaries, PQ transfer and BT.2020 matrix when its general_profile_idc is 2 (Main 10), else none.
    static std::optional<platform::VideoFormat::ColorTags> hdrTags(const std::vector<Bytes>& sets);

private:
    bool isParameterSet(ByteView nal) const;
    void configure(const std::vector<Bytes>& sets);
    void submit(Bytes sample, const VideoFrame& frame);
    void noteHardware();
    void output(int status, std::shared_ptr<const platform::PixelBuffer> image,
                const platform::VideoDecoderBackend::Timing& timing, const VideoFrame& frame);

    const std::size_t queueLimit_;
    const bool allowHardware_;

    // The media thread's alone.
    std::unique_ptr<platform::VideoDecoderBackend> session_;
    std::optional<platform::VideoFormat> format_;
    std::vector<Bytes> parameterSets_;
    bool waitingForKeyframe_ = false;  // after falling behind
    bool hardwareNoted_ = true;        // the current session's decoder line is written

    mutable std::mutex lock_;  // guards stats_
    Stats stats_;
    // Set when released: outputs still in flight are dropped. Shared with the output handlers, which may
    // outlive the decoder when it is released from inside onFrame.
    std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace corvane::stream
