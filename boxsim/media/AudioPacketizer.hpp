#pragma once

#include "platform/core/Bytes.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace corvane::boxsim {

// Wraps Opus packets in the box's audio datagrams and adds two parity datagrams after every block of four.
//
// Audio datagram (big-endian):         Parity datagram:
//   0  80                                0  80
//   1  payload type 97                   1  payload type 127
//   2  u16 sequence                      2  u16 its own sequence
//   4  u32 timestamp (48 kHz)            4  u32 the block's timestamp
//   8  u32 ssrc                          8  u32 ssrc
//  12  Opus packet                      12  parity index 0 or 1
//                                       13  97
//                                       14  u16 the block's first sequence number
//                                       16  u32 the block's first timestamp
//                                       20  u32 ssrc
//                                       24  parity bytes
//
// A block is four packets whose sequence numbers start at a multiple of 4. Parity i is, byte by byte, the
// GF(2^8) (polynomial 0x11D) sum over j of parityRows[i][j] * packet j. Packets of a block should be of
// equal size (the source encodes at a constant bitrate); a shorter one counts as zero-padded.
//
// Not thread-safe: one packetiser per audio stream.
class AudioPacketizer final {
public:
    static constexpr std::array<std::array<std::uint8_t, 4>, 2> parityRows = {{{0x77, 0x40, 0x38, 0x0E},
                                                                              {0xC7, 0xA7, 0x0D, 0x6C}}};
    static constexpr std::uint32_t samplesPerPacket = 240;

    // The first sequence number is rounded down to a multiple of 4, so blocks line up with it.
    explicit AudioPacketizer(std::uint16_t firstSequence = 0, std::uint32_t ssrc = 0);

    // The datagrams to send for one Opus packet, in order: its audio datagram, and when it completes a
    // block, the block's two parity datagrams. An empty packet is not sent (nothing returned).
    std::vector<Bytes> packetize(ByteView opusPacket);

    std::uint16_t nextSequence() const { return sequence_; }

private:
    std::uint16_t sequence_;
    std::uint16_t paritySequence_ = 0;
    std::uint32_t timestamp_ = 0;
    std::uint32_t blockTimestamp_ = 0;
    std::uint32_t ssrc_;
    std::array<Bytes, 4> block_;
};

} // namespace corvane::boxsim
