#include "boxsim/media/AudioLayout.hpp"

namespace corvane::boxsim {

std::optional<AudioLayout> AudioLayout::parse(std::string_view text) {
    std::vector<std::uint8_t> digits;
    for (char c : text)
        if (c >= '0' && c <= '9') digits.push_back(static_cast<std::uint8_t>(c - '0'));
    if (digits.size() < 3 || digits[0] < 1 || digits.size() != static_cast<std::size_t>(digits[0]) + 3) return std::nullopt;
    AudioLayout layout;
    layout.channels = digits[0];
    layout.streams = digits[1];
    layout.coupled = digits[2];
    layout.mapping.assign(digits.begin() + 3, digits.end());
    return layout;
}

std::optional<AudioLayout> AudioLayout::fromSdp(std::string_view sdp, int channels) {
    static constexpr std::string_view kKey = "surround-params=";
    std::optional<AudioLayout> found;
    while (!sdp.empty()) {
        const std::size_t end = sdp.find_first_of("\r\n");
        const std::string_view line = sdp.substr(0, end);
        sdp = end == std::string_view::npos ? std::string_view{} : sdp.substr(end + 1);
        const std::size_t at = line.find(kKey);
        if (at == std::string_view::npos) continue;
        if (auto layout = parse(line.substr(at + kKey.size())); layout && layout->channels == channels) found = layout;
    }
    return found;
}

AudioLayout AudioLayout::standard(int channels) {
    switch (channels) {
    case 6: return AudioLayout{6, 4, 2, {0, 1, 2, 4, 5, 3}};
    case 8: return AudioLayout{8, 5, 3, {0, 1, 2, 4, 5, 3, 6, 7}};
    default: return AudioLayout{};
    }
}

} // namespace corvane::boxsim
