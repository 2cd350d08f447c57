#pragma once

#include "boxsim/media/VideoCodec.hpp"
#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <memory>

namespace corvane::boxsim {

// Encodes the box's moving test picture (TestPicture) in-process with libavcodec: libx264 for H.264,
// libx265 for HEVC, tuned for zero latency (no B-frames, no look-ahead, one slice), at the size, frame rate
// and bitrate the client offered. Every access unit is in Annex B form; a keyframe is an IDR picture with
// its parameter sets in front. The first picture is always a keyframe; later ones when the caller asks.
//
// Not thread-safe: one thread encodes.
class VideoSource final {
public:
    struct Format {
        int width = 1280;
        int height = 720;
        int fps = 60;
        int bitrateKbps = 10000;
        VideoCodec codec = VideoCodec::h264;
        bool operator==(const Format&) const = default;
    };

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
