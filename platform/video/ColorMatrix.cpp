#include "platform/video/ColorMatrix.hpp"

#include <algorithm>

namespace corvane::platform {

ColorMatrix ColorMatrix::of(PixelBuffer::ColorSpace color, int bits) {
    using Matrix = PixelBuffer::ColorSpace::Matrix;
    double kr = 0.299, kb = 0.114;
    if (color.matrix == Matrix::bt709) kr = 0.2126, kb = 0.0722;
    if (color.matrix == Matrix::bt2020) kr = 0.2627, kb = 0.0593;
    const double kg = 1 - kr - kb;
    const double largest = double((1 << bits) - 1);
    const double step = double(1 << (bits - 8));  // one 8-bit code in this depth's codes
    double lumaScale = 1, chromaScale = 1, lumaOffset = 0, chromaOffset = double(1 << (bits - 1)) / largest;
    if (!color.fullRange) {
        lumaScale = largest / (219 * step);
        chromaScale = largest / (224 * step);
        lumaOffset = 16 * step / largest;
        chromaOffset = 128 * step / largest;
    }
    ColorMatrix out;
    const auto f = [](double v) { return static_cast<float>(v); };
    out.rows = {f(lumaScale), 0, f(chromaScale * 2 * (1 - kr)),
                f(lumaScale), f(-chromaScale * 2 * kb * (1 - kb) / kg), f(-chromaScale * 2 * kr * (1 - kr) / kg),
                f(lumaScale), f(chromaScale * 2 * (1 - kb)), 0};
    out.offset = {f(lumaOffset), f(chromaOffset), f(chromaOffset)};
    return out;
}

std::array<float, 3> ColorMatrix::apply(float y, float cb, float cr) const {
    const float in[3] = {y - offset[0], cb - offset[1], cr - offset[2]};
    std::array<float, 3> out{};
    for (int row = 0; row < 3; ++row) {
        const float v = rows[std::size_t(row * 3)] * in[0] + rows[std::size_t(row * 3 + 1)] * in[1] +
                        rows[std::size_t(row * 3 + 2)] * in[2];
        out[std::size_t(row)] = std::clamp(v, 0.0f, 1.0f);
    }
    return out;
}

}  // namespace corvane::platform
