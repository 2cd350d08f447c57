#pragma once

#include <cstdint>
#include <vector>

#include "platform/video/PixelBuffer.hpp"

namespace corvane::platform {

// Cb and Cr planes of equal size woven into one plane of pairs (Cb, Cr), rows without padding: the layout a
// GPU samples both from in one read. Leaves `out` as it was and answers false when the planes do not pair.
bool weaveChroma(const PixelBuffer::Plane& cb, const PixelBuffer::Plane& cr, std::vector<std::uint8_t>& out);

}  // namespace corvane::platform
