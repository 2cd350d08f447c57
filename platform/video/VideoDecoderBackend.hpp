#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/core/Bytes.hpp"
#include "platform/video/PixelBuffer.hpp"
#include "platform/video/VideoFormat.hpp"

namespace corvane::platform {

// One decoding session on libavcodec (H.264 or HEVC): VA-API when the machine has a device for it, else
// software decoding with slice threads (frame threads would hold every picture back by a frame per thread).
// Access units go in on the caller's thread into a bounded queue; the session's own thread "corvane.decode"
// only decodes: every picture leaves as the planes the decoder wrote (NV12, I420, I444, P010 or 10-bit
// I420; VA-API pictures as they are transferred), carrying the colour the stream signals (matrix, range,
// transfer and primaries; what it leaves unsaid from the format's colour tags, else BT.601 and standard
// dynamic range). A picture in any other layout leaves `deferred`, converted only when something reads it.
// Each unit's handler is called exactly once, on that thread: status 0 with the picture; status 0 and no
// picture when the decoder consumed the unit but gave no picture for it; a negative status (an AVERROR code)
// and no picture when it failed or the picture came out damaged. Units dropped from the queue get no call.
//
// Pictures share the decoder's own buffers: once a picture's last holder has dropped it, its memory goes
// back to the decoder when the next picture comes out.
//
// Threads: create, decode, discardQueued, replaceFormat, waitForAsynchronousFrames and invalidate are
// called by one thread (the owner's); usingHardware and format by any. Handlers must not call back into
// the session except to read it. Destroying the session invalidates it.
class VideoDecoderBackend final {
public:
    struct Options {
        bool allowHardware = true;     // try VA-API before software
        std::size_t queueLimit = 8;    // access units that may wait for the decoder
    };

    // When a unit went through, all on the uptime clock (std::chrono::steady_clock, seconds).
    struct Timing {
        double queuedAt = 0;
        double startedAt = 0;          // the decode thread took it up
        std::size_t waitingAhead = 0;  // units that waited in front of it when it was queued
    };

    using OutputHandler =
        std::function<void(int status, std::shared_ptr<const PixelBuffer> image, const Timing& timing)>;

    // decode()'s status when the unit was not taken: the queue is full and holds no keyframe to skip to.
    static constexpr int busyStatus = -EAGAIN;

    struct Created {
        int status = 0;
        std::unique_ptr<VideoDecoderBackend> session;
    };
    // Opens libavcodec's decoder on the format (its parameter sets as extradata) and starts the session's
    // thread. Status 0 and the session, or a negative status and none.
    static Created create(const VideoFormat& format, Options options);
    // Whether this libavcodec has a decoder for `codec` at all.
    static bool canDecode(VideoFormat::Codec codec);

    ~VideoDecoderBackend();
    VideoDecoderBackend(const VideoDecoderBackend&) = delete;
    VideoDecoderBackend& operator=(const VideoDecoderBackend&) = delete;

    // Whether libavcodec decodes on the VA-API device: none until it has picked the picture format for
    // the stream (at the first picture), since it may still fall back to software then.
    std::optional<bool> usingHardware() const;
    VideoFormat format() const;

    // Whether the running session can go on with `next`: same codec, picture size, sample depth and chroma
    // layout. Then replaceFormat() hands its parameter sets to the decoder in front of the next unit.
    bool canAcceptFormat(const VideoFormat& next) const;
    void replaceFormat(const VideoFormat& next);

    // Zero bytes libavcodec wants after the end of every input. A unit whose buffer has this much room
    // beyond its end reaches libavcodec without being copied again.
    static constexpr std::size_t paddingBytes = 64;

    struct Queued {
        int status = 0;           // 0, busyStatus, or AVERROR(EINVAL) after invalidate()
        std::size_t dropped = 0;  // waiting units dropped to make room
    };
    // Queues one access unit in Annex B form; `keyframe`: it depends on no unit before it. The queue holds
    // queueLimit units; when they all wait, the decoder has fallen well behind, and rather than add to the
    // delay it skips ahead: a keyframe replaces every waiting unit; another unit drops the units in front
    // of the newest waiting keyframe. With no keyframe to skip to, the unit is refused (busyStatus) and
    // `handler` is never called.
    Queued decode(Bytes accessUnit, bool keyframe, OutputHandler handler);

    // Drops the units still waiting for the decoder; their handlers are not called. Returns how many.
    std::size_t discardQueued();

    // Returns once every unit taken so far has been through the decoder and every picture it gave has
    // reached its handler.
    void waitForAsynchronousFrames();

    // Drops waiting units, drains the pictures the decoder still holds to their handlers, ends the thread
    // and closes the decoder. Safe more than once.
    void invalidate();

    struct Impl;

private:
    explicit VideoDecoderBackend(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace corvane::platform
