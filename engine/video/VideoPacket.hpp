#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// One video datagram: a 32-byte header and a slice of a frame. Each datagram carries one shard of a
// Reed-Solomon block; the shard is the datagram from offset 16 on, since the host computes parity over
// bytes 16..31 of the header too.
//
//   0      2      4         8         16         20        24    25    26    27    28        32
//   +------+------+---------+---------+----------+---------+-----+-----+-----+-----+---------+--------
//   | ---- | seq  | timestmp| ------- | streamPkt| frame   |flags| --- |mfec |mfec | fecInfo | payload
//   |      | BE16 | BE32    |         | LE32     | LE32    |     |     |flags|blks | LE32    | 1+ bytes
//   +------+------+---------+---------+----------+---------+-----+-----+-----+-----+---------+--------
//
//   fecInfo: bits 22..31 data shard count, 12..21 shard index, 4..11 parity percentage, 0..3 unused.
//   multiFecBlocks: bits 6..7 last block index, 4..5 block index, 0..3 unused.
//
// A plain value, safe to copy between threads.
struct VideoPacket {
    // The flags byte; no bit has a meaning on the receiving side.
    struct Flags {
        std::uint8_t rawValue = 0;
        bool operator==(const Flags&) const = default;
    };

    static constexpr std::size_t headerBytes = 32;
    static constexpr std::size_t shardOffset = 16;
    static constexpr std::size_t minimumBytes = headerBytes + 1;

    std::uint16_t rtpSequence = 0;
    std::uint32_t rtpTimestamp = 0;
    std::uint32_t streamPacketIndex = 0;
    std::uint32_t frameIndex = 0;
    Flags flags;
    std::uint8_t multiFecFlags = 0;
    std::uint8_t multiFecBlocks = 0;
    std::uint32_t fecInfo = 0;
    Bytes datagram;  // the whole datagram as received

    // None when the datagram is shorter than 33 bytes; no other check is made here.
    static std::optional<VideoPacket> parse(ByteView datagram);
    // The same without keeping a copy of the datagram (`datagram` stays empty), for callers that hold the
    // bytes themselves.
    static std::optional<VideoPacket> parseHeader(ByteView datagram);

    // The datagram from offset 16 to its end.
    Bytes shard() const;
    ByteView shardView() const;

    int dataShards() const { return static_cast<int>(fecInfo >> 22); }
    int shardIndex() const { return static_cast<int>((fecInfo >> 12) & 0x3FF); }
    int parityPercentage() const { return static_cast<int>((fecInfo >> 4) & 0xFF); }
    // The percentage of the data count, rounded up.
    int parityShards() const
    {
        return static_cast<int>((std::uint32_t(parityPercentage()) * std::uint32_t(dataShards()) + 99) / 100);
    }
    int blockIndex() const { return (multiFecBlocks >> 4) & 3; }
    int lastBlockIndex() const { return multiFecBlocks >> 6; }
    // At least one data shard, and a shard index inside the block.
    bool isUsable() const { return dataShards() >= 1 && shardIndex() < dataShards() + parityShards(); }

    bool operator==(const VideoPacket&) const = default;
};

}  // namespace corvane::stream
