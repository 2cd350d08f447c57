#pragma once

#include "boxsim/media/VideoCodec.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace corvane::boxsim {

// Encodes the box's moving test picture (TestPicture, or DesktopPicture when asked) in-process with
// libavcodec: libx264 for H.264, libx265 for HEVC, tuned for zero latency (no B-frames, no look-ahead), at the
// size, frame rate and bitrate the client offered. Pictures up to about a megapixel are one slice encoded on
// one thread; larger ones are shared out over threads within the picture (x264's sliced threads, x265's
// rows with a single frame thread), so each picture still leaves in the call that made it and 4K keeps
// up with 60 frames a second. Every access unit is in Annex B form; a keyframe is an IDR picture with its
// parameter sets in front. The first picture is always a keyframe; later ones when the caller asks.
//
// Not thread-safe: one thread calls it (the encoder's own threads work inside next()).
class VideoSource final {
public:
    // What is drawn: the colour bars (TestPicture), or a busy desktop that costs an encoder what a real one
    // does (DesktopPicture).
    enum class Picture { bars, desktop };
    static std::optional<Picture> pictureNamed(std::string_view name);  // "bars" or "desktop"

    struct Format {
        int width = 1280;
        int height = 720;
        int fps = 60;
        int bitrateKbps = 10000;
        VideoCodec codec = VideoCodec::h264;
        Picture picture = Picture::bars;
        // 0: every picture is drawn and encoded when it is due. N: only the first N are; after them the
        // same N are sent again, round and round, for nearly no work (a round starts with the first one, a
        // keyframe, and so does a keyframe asked for). For streams larger than this computer encodes live.
        // At most maxLoopFrames.
        int loopFrames = 0;
        bool operator==(const Format&) const = default;
    };

    static constexpr int maxLoopFrames = 600;

    // The encoder's threads for a picture size: one up to about a megapixel, then one per megapixel, at most
    // as many as this computer has cores (and 8).
    static int threadsFor(int width, int height);

    struct Frame {
        Bytes accessUnit;     // empty when the encoder gave nothing for this picture
        bool keyframe = false;
        double encodeMs = 0;  // time spent drawing and encoding
        std::uint32_t picture = 0;  // the test picture's number
    };

    // Opens the encoder; throws corvane::Error when the codec is not available (AV1) or will not open.
    // An odd width or height is rounded down to even (4:2:0 needs it).
    explicit VideoSource(Format format);
    ~VideoSource();
    VideoSource(const VideoSource&) = delete;
    VideoSource& operator=(const VideoSource&) = delete;

    // Draws and encodes the next picture; an IDR picture when `keyframe` is set or none was made yet.
    Frame next(bool keyframe);

    const Format& format() const { return format_; }

private:
    struct Impl;
    Format format_;
    std::unique_ptr<Impl> impl_;
};

} // namespace corvane::boxsim
