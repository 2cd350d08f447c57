#include "engine/audio/AudioPacket.hpp"

namespace corvane::stream::AudioPacket {
namespace {

std::uint16_t u16BE(ByteView d, std::size_t at) {
    return static_cast<std::uint16_t>((d[at] << 8) | d[at + 1]);
}

std::uint32_t u32BE(ByteView d, std::size_t at) {
    return (std::uint32_t{d[at]} << 24) | (std::uint32_t{d[at + 1]} << 16) | (std::uint32_t{d[at + 2]} << 8) |
           std::uint32_t{d[at + 3]};
}

} // namespace

std::optional<Kind> parse(ByteView d) {
    if (d.size() <= audioHeaderBytes) return std::nullopt;
    const std::uint8_t type = d[1] & 0x7F;
    if (type == fecType) {
        if (d.size() <= fecHeaderBytes) return std::nullopt;
        return Fec{d[12], u16BE(d, 14), u32BE(d, 16), d.subspan(fecHeaderBytes)};
    }
    if (type == audioType) return Audio{u16BE(d, 2), u32BE(d, 4), d.subspan(audioHeaderBytes)};
    return std::nullopt;
}

} // namespace corvane::stream::AudioPacket
