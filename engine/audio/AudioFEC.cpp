#include "engine/audio/AudioFEC.hpp"

#include "engine/reed_solomon/GaloisField.hpp"

#include <algorithm>
#include <utility>
#include <vector>

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
void addScaled(Bytes& dst, const Bytes& src, std::uint8_t f) {
    const std::size_t n = std::min(dst.size(), src.size());
    if (f == 0) return;
    const unsigned logF = GF2_8_LOG[f];
    for (std::size_t t = 0; t < n; ++t)
        if (src[t] != 0) dst[t] ^= GF2_8_EXP[logF + GF2_8_LOG[src[t]]];
}

void scale(Bytes& row, std::uint8_t f) {
    const unsigned logF = GF2_8_LOG[f];
    for (auto& byte : row)
        if (byte != 0) byte = GF2_8_EXP[logF + GF2_8_LOG[byte]];
}

} // namespace

bool recover(std::span<std::optional<Bytes>> data, std::span<const std::optional<Bytes>> parity) {
    std::vector<std::size_t> missing;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (!data[i]) missing.push_back(i);
    if (missing.empty()) return true;
    if (data.size() > dataShards || parity.size() > parityShards) return false;

    std::vector<std::size_t> used;
    for (std::size_t i = 0; i < parity.size() && used.size() < missing.size(); ++i)
        if (parity[i]) used.push_back(i);
    if (used.size() < missing.size()) return false;

    const std::size_t m = missing.size();
    std::size_t length = parity[used[0]]->size();
    for (std::size_t p : used) length = std::min(length, parity[p]->size());
    if (length == 0) return false;

    // Coefficients of the missing shards, and right-hand sides: each used parity shard with the present
    // data shards' contributions taken out.
    std::array<std::array<std::uint8_t, dataShards>, parityShards> a{};
    std::vector<Bytes> rhs(m);
    for (std::size_t r = 0; r < m; ++r) {
        const auto& row = parityRows[used[r]];
        for (std::size_t k = 0; k < m; ++k) a[r][k] = row[missing[k]];
        rhs[r].assign(parity[used[r]]->begin(), parity[used[r]]->begin() + static_cast<std::ptrdiff_t>(length));
        for (std::size_t j = 0; j < data.size(); ++j)
            if (data[j]) addScaled(rhs[r], *data[j], row[j]);
    }

    // Gauss-Jordan elimination on at most 2 x 2.
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t pivot = c;
        while (pivot < m && a[pivot][c] == 0) ++pivot;
        if (pivot == m) return false;
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

    for (std::size_t k = 0; k < m; ++k) data[missing[k]] = std::move(rhs[k]);
    return true;
}

} // namespace corvane::stream::AudioFEC
