#include "engine/audio/OpusLayout.hpp"

namespace corvane::stream {

const OpusLayout OpusLayout::stereo{2, 1, 1, {0, 1}};

std::optional<OpusLayout> OpusLayout::parse(std::string_view text) {
    std::vector<std::uint8_t> digits;
    for (char c : text) {
        if (c >= '0' && c <= '9') digits.push_back(static_cast<std::uint8_t>(c - '0'));
        // More digits than the largest layout (9 channels) can use: no layout, however long the text.
        if (digits.size() > 12) return std::nullopt;
    }
    if (digits.size() < 3 || digits[0] < 1 || digits.size() != std::size_t{digits[0]} + 3u) return std::nullopt;
    return OpusLayout{digits[0], digits[1], digits[2], std::vector<std::uint8_t>(digits.begin() + 3, digits.end())};
}

std::optional<OpusLayout> OpusLayout::from(std::string_view describe, std::int64_t channels, bool highQuality) {
    static constexpr std::string_view key = "surround-params=";
    static constexpr std::string_view lineBreaks = "\n\r\v\f";
    static constexpr std::string_view blanks = " \t";
    std::optional<OpusLayout> first;
    std::optional<OpusLayout> last;
    while (!describe.empty()) {
        const std::size_t end = describe.find_first_of(lineBreaks);
        std::string_view line = describe.substr(0, end);
        describe = end == std::string_view::npos ? std::string_view{} : describe.substr(end + 1);

        const std::size_t at = line.find(key);
        if (at == std::string_view::npos) continue;
        std::string_view value = line.substr(at + key.size());
        const std::size_t from = value.find_first_not_of(blanks);
        value = from == std::string_view::npos ? std::string_view{} : value.substr(from);
        value = value.substr(0, value.find_last_not_of(blanks) + 1);
        auto layout = parse(value);
        if (!layout || layout->channels != channels) continue;
        if (!first) first = layout;
        last = std::move(layout);
    }
    return highQuality ? last : first;
}

std::string OpusLayout::mappingText() const {
    std::string text;
    for (std::uint8_t entry : mapping) text += std::to_string(entry);
    return text;
}

} // namespace corvane::stream
