#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::stream {

// An Opus multistream layout: how many output channels, how many Opus streams each packet holds, how many
// of those are coupled (two-channel) streams, and which decoded channel feeds each output channel.
struct OpusLayout {
    std::int64_t channels = 0;
    std::int64_t streams = 0;
    std::int64_t coupled = 0;
    std::vector<std::uint8_t> mapping;

    bool operator==(const OpusLayout&) const = default;

    static const OpusLayout stereo;

    // Reads the digits of a "surround-params=" value, one field per digit: channels, streams, coupled,
    // then one mapping entry per channel. Every other character is skipped. None unless there are
    // exactly channels + 3 digits and at least one channel.
    static std::optional<OpusLayout> parse(std::string_view text);

    // The layout for `channels` among the "surround-params=" lines of a DESCRIBE reply body: the last
    // matching one when `highQuality`, else the first; none when no line announces that many channels.
    static std::optional<OpusLayout> from(std::string_view describe, std::int64_t channels, bool highQuality);

    // The mapping entries in decimal, one after another ("01" for stereo).
    std::string mappingText() const;
};

} // namespace corvane::stream
