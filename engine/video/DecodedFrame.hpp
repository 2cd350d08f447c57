#pragma once

#include <cstdint>
#include <memory>

#include "platform/video/PixelBuffer.hpp"

namespace corvane::stream {

// One decoded picture with the timing its latency figures need. Copies share the picture.
struct DecodedFrame {
    std::shared_ptr<const platform::PixelBuffer> image;
    std::uint32_t frameIndex = 0;
    double firstPacketAt = 0;  // seconds of uptime: arrival of the frame's first packet
    double decodedAt = 0;      // seconds of uptime: when the decoder delivered the picture
    double hostProcessingMs = 0;
};

}  // namespace corvane::stream
