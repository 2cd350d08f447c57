#pragma once

#include "platform/core/Bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::boxsim {

// Cuts one encoded video frame (an access unit in Annex B form) into the box's video datagrams and adds
// Reed-Solomon parity shards to every block, as the box's streaming host sends them.
//
// Datagram layout (multi-byte fields big-endian at 0..15, little-endian from 16 on):
//
//   0  80 60            RTP-style version byte and payload type 96
//   2  u16 sequence     one per datagram, wrapping
//   4  u32 timestamp    the frame's timestamp (90 kHz)
//   8  8 bytes          zero
//  16  u32 streamPacketIndex   one per datagram, never reset
//  20  u32 frameIndex
//  24  u8  flags        0x01 picture data, 0x04 first packet of the frame, 0x02 last data packet
//  25  u8  reserved
//  26  u8  multiFecFlags 0x10
//  27  u8  multiFecBlocks  bits 4-5 this block, bits 6-7 the frame's last block
//  28  u32 fecInfo      data shard count << 22 | shard index << 12 | parity percent << 4
//  32  packetSize bytes of the frame payload
//
// The frame payload is an 8-byte frame header (type 1; host processing time in 0.1 ms; frame type 2 for a
// keyframe, 1 otherwise; the count of meaningful bytes in the frame's last data packet) followed by the
// access unit, zero-padded to whole packets. A "shard" is a datagram from byte 16 on; parity shard i of a
// block is the sum over the block's data shards j of P[i][j] * shard j with the Cauchy matrix
// P[i][j] = 1 / ((j + parity) XOR i) over GF(2^8) (polynomial 0x11D). A parity datagram then gets its own
// 16-byte header in place of the parity of the data shards' headers, so a receiver can place it; what a
// receiver rebuilds from it is exact from byte 32 on, which is all it keeps.
//
// A frame takes one to four blocks. Blocks hold at most as many data shards as keep data + parity within
// the 255 shards the code allows; every block has at least `minParityShards` parity shards (its parity
// percent is raised for small blocks so the receiver's rounding gives that many). A frame too large for
// four such blocks is sent in four blocks of up to 1023 data shards without parity.
//
// Not thread-safe: one packetiser per video stream, used by one thread at a time.
class VideoPacketizer final {
public:
    struct Options {
        int packetSize = 1392;         // frame payload bytes in every datagram (the offer's packet size)
        int parityPercent = 20;        // parity shards per block, as a percentage of its data shards
        int minParityShards = 2;       // but at least this many (0 to 255)
        int maxDataShardsPerBlock = 0; // 0: as many as the code allows; tests set it to force more blocks
    };

    // One block of a frame as planned: its data shard count, parity shard count and the percent sent.
    struct Block {
        int dataShards = 0;
        int parityShards = 0;
        int parityPercent = 0;
        bool operator==(const Block&) const = default;
    };

    static constexpr std::size_t headerSize = 32;      // datagram bytes before the payload
    static constexpr std::size_t shardOffset = 16;     // where a shard begins in its datagram
    static constexpr std::size_t frameHeaderSize = 8;  // frame header at the start of the frame payload

    // Throws corvane::Error when packetSize is not 1 to 65000 or a percent or count is out of range.
    explicit VideoPacketizer(Options options);
    VideoPacketizer(int packetSize, int parityPercent);

    // The datagrams of one frame in sending order: block 0's data shards in index order, then its parity
    // shards, then block 1's and so on. Throws corvane::Error for an empty access unit or one too large
    // for four blocks (4092 packets).
    std::vector<Bytes> packetize(ByteView accessUnit, std::uint32_t frameIndex, std::uint32_t rtpTimestamp,
                                 bool keyframe, double hostProcessingMs = 0);

    // How a frame whose payload fills `packets` datagrams is cut into blocks (empty when it cannot be).
    std::vector<Block> planBlocks(std::size_t packets) const;

    const Options& options() const { return options_; }
    // The sequence number and stream packet index the next datagram will carry.
    std::uint16_t nextSequence() const { return sequence_; }
    std::uint32_t nextStreamPacketIndex() const { return streamPacketIndex_; }

private:
    Options options_;
    std::uint16_t sequence_ = 0;
    std::uint32_t streamPacketIndex_ = 0;
};

} // namespace corvane::boxsim
