#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::boxsim {

// An Opus multistream channel layout as the box announces it in its DESCRIBE reply
// ("surround-params=" followed by single digits: channels, streams, coupled streams, then one mapping digit
// per channel). The box encodes with exactly the layout it announced, so a client decoding by that
// announcement gets every channel back in place.
struct AudioLayout {
    int channels = 2;
    int streams = 1;
    int coupled = 1;
    std::vector<std::uint8_t> mapping{0, 1};

    bool operator==(const AudioLayout&) const = default;

    // The digits of `text` (everything else skipped) as a layout; none unless there are channels + 3 digits.
    static std::optional<AudioLayout> parse(std::string_view text);
    // The last layout for `channels` among the "surround-params=" lines of an SDP text (the high-quality
    // one when the box offers several), or none.
    static std::optional<AudioLayout> fromSdp(std::string_view sdp, int channels);
    // Stereo, 5.1 and 7.1 as the box announces them by default; stereo for any other count.
    static AudioLayout standard(int channels);
};

} // namespace corvane::boxsim
