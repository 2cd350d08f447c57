#include "engine/video/FEC.hpp"

#include <algorithm>

#include "engine/reed_solomon/ReedSolomon.hpp"
#include "engine/reed_solomon/BlockDecoder.hpp"

namespace corvane::stream::FEC {

bool codecAccepts(int data, int parity)
{
    return reed_solomon_size(data, parity) != 0;
}

bool recoverInPlace(std::span<std::uint8_t* const> buffers, std::span<const std::uint8_t> lost, int data,
    int parity, int length)
{
    return BlockDecoder().decode(buffers, lost, data, parity, length);
}

bool recover(Shards& shards, int data, int parity)
{
    if (data < 1) return false;
    if (parity < 0) return false;
    const std::size_t total = static_cast<std::size_t>(data) + static_cast<std::size_t>(parity);
    if (shards.size() != total) return false;

    const auto present = std::count_if(shards.begin(), shards.end(), [](const auto& s) { return s.has_value(); });
    if (present < data) return false;
    const auto dataEnd = shards.begin() + data;
    if (std::all_of(shards.begin(), dataEnd, [](const auto& s) { return s.has_value(); })) return true;
    if (parity < 1) return false;

    const auto first = std::find_if(shards.begin(), shards.end(), [](const auto& s) { return s.has_value(); });
    const std::size_t length = (*first)->size();
    for (const auto& shard : shards)
        if (shard && shard->size() != length) return false;
    if (length == 0 || length > static_cast<std::size_t>(INT32_MAX) || !codecAccepts(data, parity)) return false;

    Bytes work(total * length, 0);
    std::vector<std::uint8_t*> buffers(total);
    std::vector<std::uint8_t> lost(total, 0);
    for (std::size_t i = 0; i < total; ++i) {
        buffers[i] = work.data() + i * length;
        if (shards[i])
            std::copy(shards[i]->begin(), shards[i]->end(), buffers[i]);
        else
            lost[i] = 1;
    }
    if (!recoverInPlace(buffers, lost, data, parity, static_cast<int>(length))) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(data); ++i)
        if (lost[i]) shards[i] = Bytes(buffers[i], buffers[i] + length);
    return true;
}

}  // namespace corvane::stream::FEC
