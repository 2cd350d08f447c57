#pragma once

#include <cstdint>

#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// One assembled access unit as the frame assembler hands it to the decoder. A plain value: the assembler
// fills every field once; later stages only adjust hostProcessingMs.
struct VideoFrame {
    std::uint32_t index = 0;
    std::uint32_t rtpTimestamp = 0;  // from the frame's first usable packet
    Bytes data;                      // NAL units in Annex B form, each behind a start code
    bool isKeyframe = false;
    double firstPacketAt = 0;  // seconds of uptime: the frame's first usable packet was taken in
    double completedAt = 0;    // seconds of uptime: the frame was delivered
    std::int64_t recoveredPackets = 0;  // data shards rebuilt by recovery, over all of the frame's blocks
    double hostProcessingMs = 0;        // from the frame header; 0 when there is none

    bool operator==(const VideoFrame&) const = default;
};

}  // namespace corvane::stream
