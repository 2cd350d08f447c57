#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "platform/video/PixelBuffer.hpp"
#include "platform/video/VideoFormat.hpp"

struct AVFrame;
struct SwsContext;

namespace corvane::platform {

// The fallback for decoded pictures in a layout the view does not draw (4:2:2, 12-bit, RGB and the like):
// turns a libavcodec picture into a PixelBuffer of its own, 'BGRA' in full range or 'x420' (video-range
// 10-bit 4:2:0 as P010). The YUV matrix and range come from the picture; a picture that names no matrix
// takes the format's colour tags (BT.2020 for HDR10), else BT.601. Keeps its scaler between calls, and a
// few pictures: one whose every other holder has let go is filled again rather than allocating anew. One
// thread at a time.
class PictureConverter final {
public:
    // The libswscale flags every conversion uses, so a check can reproduce a conversion exactly.
    static int scaleFlags();
    // libavutil's pixel format for a layout (an AVPixelFormat), for code that hands pictures to libswscale.
    static int avPixelFormat(PixelBuffer::Format format);

    PictureConverter() = default;
    ~PictureConverter();
    PictureConverter(const PictureConverter&) = delete;
    PictureConverter& operator=(const PictureConverter&) = delete;

    // The converted picture, or none when libswscale refuses the layout or the size is out of range.
    std::shared_ptr<PixelBuffer> convert(const AVFrame& picture, PixelBuffer::Format format,
                                         const std::optional<VideoFormat::ColorTags>& tags = std::nullopt);

    // Pictures kept for reuse.
    static constexpr std::size_t poolSize = 6;

private:
    std::shared_ptr<PixelBuffer> picture(PixelBuffer::Format format, int width, int height);

    SwsContext* scaler_ = nullptr;
    std::vector<std::shared_ptr<PixelBuffer>> pool_;
};

}  // namespace corvane::platform
