#include "engine/video/VideoPacket.hpp"

#include "engine/session/LittleEndian.hpp"

namespace corvane::stream {

namespace {

std::uint16_t u16BE(ByteView data, std::size_t offset)
{
    return static_cast<std::uint16_t>(data[offset] << 8 | data[offset + 1]);
}

std::uint32_t u32BE(ByteView data, std::size_t offset)
{
    return std::uint32_t(data[offset]) << 24 | std::uint32_t(data[offset + 1]) << 16 |
           std::uint32_t(data[offset + 2]) << 8 | std::uint32_t(data[offset + 3]);
}

}  // namespace

std::optional<VideoPacket> VideoPacket::parseHeader(ByteView datagram)
{
    if (datagram.size() < minimumBytes) return std::nullopt;
    VideoPacket packet;
    packet.rtpSequence = u16BE(datagram, 2);
    packet.rtpTimestamp = u32BE(datagram, 4);
    packet.streamPacketIndex = u32LE(datagram, 16);
    packet.frameIndex = u32LE(datagram, 20);
    packet.flags.rawValue = datagram[24];
    packet.multiFecFlags = datagram[26];
    packet.multiFecBlocks = datagram[27];
    packet.fecInfo = u32LE(datagram, 28);
    return packet;
}

std::optional<VideoPacket> VideoPacket::parse(ByteView datagram)
{
    auto packet = parseHeader(datagram);
    if (packet) packet->datagram.assign(datagram.begin(), datagram.end());
    return packet;
}

Bytes VideoPacket::shard() const
{
    const ByteView view = shardView();
    return Bytes(view.begin(), view.end());
}

ByteView VideoPacket::shardView() const
{
    if (datagram.size() < shardOffset) return {};
    return ByteView(datagram).subspan(shardOffset);
}

}  // namespace corvane::stream
