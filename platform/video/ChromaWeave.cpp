#include "platform/video/ChromaWeave.hpp"

namespace corvane::platform {

bool weaveChroma(const PixelBuffer::Plane& cb, const PixelBuffer::Plane& cr, std::vector<std::uint8_t>& out) {
    if (!cb.data || !cr.data || cb.width < 1 || cb.height < 1 || cr.width != cb.width || cr.height != cb.height ||
        cb.bytesPerRow < cb.width || cr.bytesPerRow < cr.width)
        return false;
    const auto w = std::size_t(cb.width);
    out.resize(2 * w * std::size_t(cb.height));
    for (std::size_t y = 0; y < std::size_t(cb.height); ++y) {
        const std::uint8_t* b = cb.data + y * std::size_t(cb.bytesPerRow);
        const std::uint8_t* r = cr.data + y * std::size_t(cr.bytesPerRow);
        std::uint8_t* row = out.data() + 2 * w * y;
        for (std::size_t x = 0; x < w; ++x) {
            row[2 * x] = b[x];
            row[2 * x + 1] = r[x];
        }
    }
    return true;
}

}  // namespace corvane::platform
