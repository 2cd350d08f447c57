#pragma once

#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <variant>

namespace corvane::stream {

// The two kinds of audio datagram the box sends on the media socket. Multi-byte fields are big-endian.
//
// Audio (payload type 97):
//   0      1      2      4          8          12
//   +------+------+------+----------+----------+------------------+
//   | hdr  | type | seq  | timestamp| (ssrc)   | Opus packet ...  |
//   +------+------+------+----------+----------+------------------+
//
// Error correction (payload type 127), two per block of four audio packets:
//   0      1      2             12     13     14     16         20       24
//   +------+------+-------------+------+------+------+----------+--------+--------------+
//   | hdr  | type | (rtp header)| index| -    | base | base ts  | -      | parity ...   |
//   +------+------+-------------+------+------+------+----------+--------+--------------+
//
// The payload type is the low 7 bits of byte 1 (the top bit is the marker).
namespace AudioPacket {

inline constexpr std::uint8_t audioType = 97;
inline constexpr std::uint8_t fecType = 127;
inline constexpr std::size_t audioHeaderBytes = 12;
inline constexpr std::size_t fecHeaderBytes = 24;

// Payloads are views into the datagram: nothing is copied.
struct Audio {
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    ByteView payload; // at least one byte
};

struct Fec {
    std::uint8_t index = 0;
    std::uint16_t baseSequence = 0;
    std::uint32_t baseTimestamp = 0;
    ByteView payload; // at least one byte
};

using Kind = std::variant<Audio, Fec>;

// None for a datagram too short for its kind or of another payload type. The payload views `datagram`.
std::optional<Kind> parse(ByteView datagram);

// Sequence numbers wrap at 16 bits: a − b read as a signed 16-bit number, so a is after b when positive.
constexpr int distance(std::uint16_t a, std::uint16_t b) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(a - b));
}

} // namespace AudioPacket

} // namespace corvane::stream
