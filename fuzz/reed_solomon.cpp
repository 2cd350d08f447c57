// Random block shapes, loss patterns, null buffers and shard contents into the Reed-Solomon decoder: it
// must never crash, and a consistent block with no more losses than parity must come back exactly.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/reed_solomon/ReedSolomon.hpp"

using namespace corvane::stream;

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input input{data, size};
    // Counts a little past the limits, so refusals are exercised too.
    const int ds = input.byte() % 260 - 1;
    const int ps = input.byte() % 260 - 1;
    const int bs = (input.byte() | (input.byte() << 8)) % 1600 - 2;
    const std::uint8_t flags = input.byte();
    const bool useStatic = flags & 1;
    const bool nullSome = flags & 2;
    const int nrDelta = (flags >> 2) % 4 - 1;

    std::vector<std::uint64_t> storage;
    reed_solomon* rs = nullptr;
    if (useStatic) {
        const std::size_t needed = reed_solomon_size(ds, ps);
        storage.resize(needed / 8 + 2);
        const std::size_t offered = needed == 0 ? 64 : needed - (flags >> 4) % 2;
        rs = reed_solomon_new_static(storage.data(), offered, ds, ps);
        if (rs != nullptr && (needed == 0 || offered < needed))
            std::abort();
    } else {
        rs = reed_solomon_new(ds, ps);
    }
    const bool accepted = ds >= 1 && ps >= 1 && ds + ps <= 255;
    if (accepted != (rs != nullptr) && !(useStatic && accepted))
        std::abort();
    if (rs == nullptr) {
        const std::uint8_t marks[1] = {1};
        std::uint8_t* shards[1] = {nullptr};
        if (reed_solomon_decode(nullptr, shards, marks, 1, 1) != -1)
            std::abort();
        return 0;
    }

    const int ts = ds + ps;
    const int shardBytes = bs < 1 ? 1 : bs;
    std::vector<std::vector<std::uint8_t>> shards(static_cast<std::size_t>(ts + 1),
        std::vector<std::uint8_t>(static_cast<std::size_t>(shardBytes)));
    for (int j = 0; j < ds; ++j)
        for (int t = 0; t < shardBytes; t += 61)
            shards[j][t] = input.byte();
    std::vector<std::uint8_t*> pointers;
    for (auto& s : shards)
        pointers.push_back(s.data());
    const bool encoded = reed_solomon_encode(rs, pointers.data(), ts, bs) == 0;
    const auto original = shards;

    std::vector<std::uint8_t> marks(static_cast<std::size_t>(ts + 1), 0);
    int lostData = 0;
    int lostParity = 0;
    for (int i = 0; i <= ts; ++i) {
        const std::uint8_t b = input.byte();
        if (b & 1) {
            marks[i] = b;
            std::memset(shards[i].data(), 0xA5, shards[i].size());
            if (i < ds)
                ++lostData;
            else if (i < ts)
                ++lostParity;
            if (nullSome && i >= ds)
                pointers[i] = nullptr;
        }
    }
    const int nrShards = ts + nrDelta;
    const int result = reed_solomon_decode(rs, pointers.data(), marks.data(), nrShards, bs);

    // A sound block with enough parity left must decode exactly.
    if (encoded && bs >= 1 && nrShards >= ts && lostData <= ps - lostParity) {
        if (result != 0)
            std::abort();
        for (int j = 0; j < ds; ++j)
            if (shards[j] != original[j])
                std::abort();
    }
    if (!useStatic)
        reed_solomon_release(rs);
    return 0;
}
