#pragma once

#include "platform/core/Bytes.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace corvane::stream {

// Erasure coding of audio blocks over GF(256) (polynomial 0x11D, generator 2): four data shards, two
// parity shards. Parity shard p is, byte by byte, the sum over j of parityRows[p][j] x data shard j; the
// rows are rows 4 and 5 of the systematic Vandermonde matrix on the points 0, 1, 2, 4, 8, 16, so any one
// or two lost data shards can be rebuilt from as many parity shards.
namespace AudioFEC {

inline constexpr std::size_t dataShards = 4;
inline constexpr std::size_t parityShards = 2;
inline constexpr std::array<std::array<std::uint8_t, dataShards>, parityShards> parityRows{{
    {0x77, 0x40, 0x38, 0x0E},
    {0xC7, 0xA7, 0x0D, 0x6C},
}};

std::uint8_t mul(std::uint8_t a, std::uint8_t b);
std::uint8_t inv(std::uint8_t a); // a != 0

// Rebuilds the absent (empty) entries of `data` (at most 4) from the present (non-empty) entries of
// `parity` (at most 2), writing rebuilt shard i into out[i]. Returns the rebuilt shards' length (0 when
// nothing was missing), or none when there is too little parity or the lists are longer than the code;
// `data` is never written, and out[i] of an absent shard holds garbage after a failure.
//
// Shards of one block may differ in length (the packets of a variable-rate stream): every shard counts as
// padded with zeros to the block's length. The block's length is that of the shortest parity shard used
// (or of the shortest out[i] of a missing shard, if smaller); present data shards are read only up to
// their own end. Allocates nothing.
std::optional<std::size_t> recover(std::span<const ByteView> data, std::span<const ByteView> parity,
                                   std::span<const std::span<std::uint8_t>> out);

} // namespace AudioFEC

} // namespace corvane::stream
