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
// software decoding with slice threads. Access units go in on the caller's thread into a bounded queue;
// the session's own thread "corvane.decode" feeds them to libavcodec, converts every picture
// (PictureConverter) and calls the unit's handler. Each unit's handler is called exactly once, on that
// thread: status 0 with the picture; status 0 and no picture when the decoder consumed the unit but gave
// no picture for it; a negative status (an AVERROR code) and no picture when it failed or the picture came
// out damaged. Units dropped by discardQueued() or invalidate() get no call.
//
// Threads: create, decode, discardQueued, replaceFormat, waitForAsynchronousFrames and invalidate are
// called by one thread (the owner's); usingHardware and format by any. Handlers must not call back into
// the session except to read it. Destroying the session invalidates it.
class VideoDecoderBackend final {
public:
    struct Options {
        PixelBuffer::Format output = PixelBuffer::Format::bgra;
        bool allowHardware = true;     // try VA-API before software
        std::size_t queueLimit = 8;    // access units that may wait for the decoder
    };

    using OutputHandler = std::function<void(int status, std::shared_ptr<PixelBuffer> image)>;

    // decode()'s answer when queueLimit units already wait: the unit was not taken.
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

    // Queues one access unit in Annex B form for decoding. Returns 0, busyStatus (the unit is dropped,
    // `handler` never called), or AVERROR(EINVAL) after invalidate(). With `evictWhenFull` a full queue is
    // emptied to make room instead (for a unit that depends on none before it: a keyframe); the count of
    // units dropped so goes to `evicted`.
    int decode(Bytes accessUnit, OutputHandler handler, bool evictWhenFull = false, std::size_t* evicted = nullptr);

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
