#pragma once

#include <array>

#include "platform/video/PixelBuffer.hpp"

namespace corvane::platform {

// How the Y'CbCr samples of a colour space become R'G'B': rgb = rows x (sample - offset), with samples and
// results as fractions of the largest code (255 at 8 bits, 1023 at 10). The matrices follow from each
// standard's Kr and Kb (BT.601, BT.709, BT.2020); limited range puts luma at 16...235 and chroma at
// 16...240 (times 4 at 10 bits), full range uses every code with chroma centred on 128 (512).
struct ColorMatrix {
    std::array<float, 9> rows{};  // row-major: R, G and B, each from Y, Cb and Cr
    std::array<float, 3> offset{};

    static ColorMatrix of(PixelBuffer::ColorSpace color, int bits);
    // One sample converted on the CPU, each channel clamped to 0...1.
    std::array<float, 3> apply(float y, float cb, float cr) const;
};

}  // namespace corvane::platform
