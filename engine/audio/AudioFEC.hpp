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

// Rebuilds the absent entries of `data` (at most 4) from the present entries of `parity` (at most 2).
// True when nothing was missing or everything missing was rebuilt; false, with `data` unchanged, when
// there is too little parity, the lists are longer than the code, or the parity is empty.
//
// Shards of one block may differ in length (the packets of a variable-rate stream): every shard counts as
// padded with zeros to the block's length. The block's length is that of the shortest parity shard used;
// present data shards are read only up to their own end, and each rebuilt shard has the block's length.
bool recover(std::span<std::optional<Bytes>> data, std::span<const std::optional<Bytes>> parity);

} // namespace AudioFEC

} // namespace corvane::stream
