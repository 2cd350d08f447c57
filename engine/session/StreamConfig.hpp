#pragma once

#include <cstdint>
#include <optional>

namespace corvane::stream {

// What one streaming session asks of the box.
struct StreamConfig {
    enum class Codec : int { h264 = 0, hevc = 1, av1 = 2 };
    static std::optional<Codec> codecFromRaw(int raw) {
        if (raw >= 0 && raw <= 2) return static_cast<Codec>(raw);
        return std::nullopt;
    }

    StreamConfig(std::int64_t width, std::int64_t height, std::int64_t fps, std::int64_t bitrateKbps, Codec codec,
                 std::int64_t audioChannels, std::int64_t packetSize)
        : width(width), height(height), fps(fps), bitrateKbps(bitrateKbps), codec(codec),
          audioChannels(audioChannels), packetSize(packetSize) {}

    std::int64_t width;
    std::int64_t height;
    std::int64_t fps;
    std::int64_t bitrateKbps;
    Codec codec;
    std::int64_t audioChannels;
    std::int64_t packetSize;
    bool optimizeGameSettings = false;
    bool yuv444 = false;
    bool hdr = false;

    bool operator==(const StreamConfig&) const = default;
};

} // namespace corvane::stream
