#pragma once

// Pictures and frames the view's display tests hand to it.

#include <cstdint>
#include <memory>
#include <tuple>
#include <utility>
#include "engine/video/DecodedFrame.hpp"
#include "platform/video/PixelBuffer.hpp"

namespace corvane::test::pictures {

struct Rgb { std::uint8_t r, g, b; };

// A BGRA picture in four quadrants: top-left, top-right, bottom-left, bottom-right.
inline std::shared_ptr<platform::PixelBuffer> quadrants(int w, int h, Rgb tl, Rgb tr, Rgb bl, Rgb br) {
    auto picture = platform::PixelBuffer::make(platform::PixelBuffer::Format::bgra, w, h);
    auto& plane = picture->mutablePlane(0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb c = y < h / 2 ? (x < w / 2 ? tl : tr) : (x < w / 2 ? bl : br);
            std::uint8_t* p = plane.data + y * plane.bytesPerRow + x * 4;
            p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
        }
    return picture;
}

inline std::shared_ptr<platform::PixelBuffer> gray(int w, int h, std::uint8_t v) {
    return quadrants(w, h, {v, v, v}, {v, v, v}, {v, v, v}, {v, v, v});
}

inline stream::DecodedFrame frameOf(std::shared_ptr<platform::PixelBuffer> picture, std::uint32_t index,
                                    double decodedAt = 0, double firstPacketAt = 0, double hostMs = 0) {
    stream::DecodedFrame f;
    std::tie(f.image, f.frameIndex, f.decodedAt, f.firstPacketAt, f.hostProcessingMs) =
        std::tuple(std::move(picture), index, decodedAt, firstPacketAt, hostMs);
    return f;
}

}  // namespace corvane::test::pictures
