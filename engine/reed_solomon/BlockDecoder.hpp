#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace corvane::stream {

struct reed_solomon;

// Rebuilds the lost data shards of Reed-Solomon blocks, keeping its codec context from block to block:
// a new one is made only when the block's shard counts change, so a stream whose blocks look alike
// allocates nothing per block. One block at a time.
class BlockDecoder final {
public:
    BlockDecoder();
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // `buffers` holds data + parity pointers to `length` bytes each in shard-index order; `lost[i]` is
    // non-zero for a shard not received (a lost parity shard's pointer may be null). The buffers of lost
    // data shards receive the rebuilt bytes; present ones are only read. True on success; on failure the
    // buffers are unchanged.
    bool decode(std::span<std::uint8_t* const> buffers, std::span<const std::uint8_t> lost, int data, int parity,
        int length);

private:
    struct Release {
        void operator()(reed_solomon* context) const;
    };
    std::unique_ptr<reed_solomon, Release> context_;
};

}  // namespace corvane::stream
