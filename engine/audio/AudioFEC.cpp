#include "engine/audio/AudioFEC.hpp"

#include "engine/reed_solomon/GaloisField.hpp"

#include <algorithm>
#include <utility>

namespace corvane::stream::AudioFEC {

// The shared GF(256) tables use the same field: exp holds the powers twice over, so a sum of two
// logarithms (at most 508) needs no reduction.
std::uint8_t mul(std::uint8_t a, std::uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return GF2_8_EXP[GF2_8_LOG[a] + GF2_8_LOG[b]];
}

std::uint8_t inv(std::uint8_t a) { return GF2_8_EXP[255 - GF2_8_LOG[a]]; }

namespace {

// dst[t] ^= f * src[t] for t below the shorter of the two.
void addScaled(std::span<std::uint8_t> dst, ByteView src, std::uint8_t f) {
    const std::size_t n = std::min(dst.size(), src.size());
    if (f == 0) return;
    const unsigned logF = GF2_8_LOG[f];
    for (std::size_t t = 0; t < n; ++t)
        if (src[t] != 0) dst[t] ^= GF2_8_EXP[logF + GF2_8_LOG[src[t]]];
}

void scale(std::span<std::uint8_t> row, std::uint8_t f) {
    const unsigned logF = GF2_8_LOG[f];
    for (auto& byte : row)
        if (byte != 0) byte = GF2_8_EXP[logF + GF2_8_LOG[byte]];
}

} // namespace

std::optional<std::size_t> recover(std::span<const ByteView> data, std::span<const ByteView> parity,
                                   std::span<const std::span<std::uint8_t>> out) {
    if (data.size() > dataShards || parity.size() > parityShards || out.size() < data.size()) return std::nullopt;
    std::array<std::size_t, dataShards> missing{};
    std::size_t m = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (data[i].empty()) missing[m++] = i;
    if (m == 0) return 0;

    std::array<std::size_t, parityShards> used{};
    std::size_t u = 0;
    for (std::size_t i = 0; i < parity.size() && u < m; ++i)
        if (!parity[i].empty()) used[u++] = i;
    if (u < m) return std::nullopt;

    std::size_t length = parity[used[0]].size();
    for (std::size_t r = 0; r < m; ++r)
        length = std::min({length, parity[used[r]].size(), out[missing[r]].size()});
    if (length == 0) return std::nullopt;

    // Coefficients of the missing shards, and right-hand sides (built in place in the missing shards'
    // buffers): each used parity shard with the present data shards' contributions taken out.
    std::array<std::array<std::uint8_t, dataShards>, parityShards> a{};
    std::array<std::span<std::uint8_t>, parityShards> rhs{};
    for (std::size_t r = 0; r < m; ++r) {
        const auto& row = parityRows[used[r]];
        for (std::size_t k = 0; k < m; ++k) a[r][k] = row[missing[k]];
        rhs[r] = out[missing[r]].first(length);
        std::copy_n(parity[used[r]].begin(), length, rhs[r].begin());
        for (std::size_t j = 0; j < data.size(); ++j)
            if (!data[j].empty()) addScaled(rhs[r], data[j], row[j]);
    }

    // Gauss-Jordan elimination on at most 2 x 2. Row swaps swap which buffer holds which row.
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t pivot = c;
        while (pivot < m && a[pivot][c] == 0) ++pivot;
        if (pivot == m) return std::nullopt;
        std::swap(a[pivot], a[c]);
        std::swap(rhs[pivot], rhs[c]);
        const std::uint8_t q = inv(a[c][c]);
        for (std::size_t k = 0; k < m; ++k) a[c][k] = mul(a[c][k], q);
        scale(rhs[c], q);
        for (std::size_t k = 0; k < m; ++k) {
            const std::uint8_t f = a[k][c];
            if (k == c || f == 0) continue;
            for (std::size_t x = 0; x < m; ++x) a[k][x] ^= mul(f, a[c][x]);
            addScaled(rhs[k], rhs[c], f);
        }
    }
    // Row k solved for missing shard k; put it back in that shard's own buffer.
    if (m == 2 && rhs[0].data() != out[missing[0]].data()) std::swap_ranges(rhs[0].begin(), rhs[0].end(), rhs[1].begin());
    return length;
}

} // namespace corvane::stream::AudioFEC
