#pragma once

#include "app/services/RawValues.hpp"

#include <string>

namespace corvane {

// The two values of the performance overlay that the stream settings keep and hand over. The overlay
// itself names them StatsOverlay::Position and StatsOverlay::StreamInfo.

enum class StatsOverlayPosition { topLeft, topCenter, topRight };

template <>
struct RawValueTable<StatsOverlayPosition> {
    static constexpr std::array<std::pair<StatsOverlayPosition, std::string_view>, 3> entries{{
        {StatsOverlayPosition::topLeft, "topLeft"},
        {StatsOverlayPosition::topCenter, "topCenter"},
        {StatsOverlayPosition::topRight, "topRight"},
    }};
};

// The stream facts the overlay shows.
struct StatsOverlayStreamInfo {
    int width = 0;
    int height = 0;
    std::string codec;  // "auto codec", "H.264", "HEVC", "AV1"
    int bitrateMbps = 0;
    int targetFPS = 0;
    bool hdr = false;

    bool operator==(const StatsOverlayStreamInfo&) const = default;
};

} // namespace corvane
