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
    // Where the time went before that, seconds of uptime (0 where unknown): the access unit was complete,
    // it was queued for the decoder (behind `queuedBehind` others), and the decoder's thread took it up.
    double assembledAt = 0;
    double queuedAt = 0;
    double decodeStartedAt = 0;
    int queuedBehind = 0;
};

}  // namespace corvane::stream
