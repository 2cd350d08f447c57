#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/core/Bytes.hpp"

namespace corvane::stream {

// Rebuilding the lost data shards of one Reed-Solomon block of video. Keeps no state between calls apart
// from the codec's one-time set-up, so calls on different blocks may run on different threads at once.
namespace FEC {

// One slot per shard of the block in shard-index order; an absent slot is a shard not received.
using Shards = std::vector<std::optional<Bytes>>;

// True when, on return, every data slot (0 ..< data) holds a shard: the missing ones have been rebuilt.
// False otherwise, with `shards` unchanged: wrong slot count, fewer than `data` shards present, no parity,
// present shards of different lengths, counts the codec refuses (more than 255 shards in all), or a
// failed decode. Absent parity slots stay absent.
bool recover(Shards& shards, int data, int parity);

// Whether the codec can rebuild blocks of these counts at all.
bool codecAccepts(int data, int parity);

// The same for callers that keep their own buffers: `buffers` holds data + parity pointers to `length`
// bytes each in shard-index order, `lost[i]` is non-zero for a shard not received. The buffers of lost data
// shards receive the rebuilt bytes; present ones are only read. True on success; on failure the buffers
// are unchanged.
bool recoverInPlace(std::span<std::uint8_t* const> buffers, std::span<const std::uint8_t> lost, int data,
    int parity, int length);

}  // namespace FEC

}  // namespace corvane::stream
