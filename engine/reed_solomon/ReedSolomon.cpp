#include "engine/reed_solomon/ReedSolomon.hpp"

#include <cstring>
#include <new>

#include "engine/reed_solomon/GaloisField.hpp"

namespace corvane::stream {

namespace {

constexpr int kMaxShards = 255;
constexpr std::size_t kMatrixOffset = (sizeof(reed_solomon) + 15) & ~std::size_t{15};

bool countsAccepted(int ds, int ps)
{
    return ds >= 1 && ds <= kMaxShards && ps >= 1 && ps <= kMaxShards && ds + ps <= kMaxShards;
}

std::uint8_t* matrixOf(reed_solomon* rs)
{
    return reinterpret_cast<std::uint8_t*>(rs) + kMatrixOffset;
}

} // namespace

void reed_solomon_init()
{
    gf2_8_mul_init();
}

std::size_t reed_solomon_size(int ds, int ps)
{
    if (!countsAccepted(ds, ps))
        return 0;
    return kMatrixOffset + static_cast<std::size_t>(ds + ps) * static_cast<std::size_t>(ds);
}

reed_solomon* reed_solomon_new(int ds, int ps)
{
    const std::size_t size = reed_solomon_size(ds, ps);
    if (size == 0)
        return nullptr;
    oblas_impl impl{};
    oblas_get_impl(&impl);
    void* memory = obl_alloc(1, size, impl.alignment);
    if (memory == nullptr)
        return nullptr;
    reed_solomon* rs = reed_solomon_new_static(memory, size, ds, ps);
    if (rs == nullptr) {
        obl_free(memory);
        return nullptr;
    }
    rs->owned = 1;
    return rs;
}

reed_solomon* reed_solomon_new_static(void* buffer, std::size_t size, int ds, int ps)
{
    if (buffer == nullptr || reinterpret_cast<std::uintptr_t>(buffer) % alignof(reed_solomon) != 0)
        return nullptr;
    const std::size_t needed = reed_solomon_size(ds, ps);
    if (needed == 0 || size < needed)
        return nullptr;
    oblas_impl impl{};
    oblas_get_impl(&impl);
    std::memset(buffer, 0, size);
    auto* rs = new (buffer) reed_solomon{};
    rs->ds = ds;
    rs->ps = ps;
    rs->ts = ds + ps;
    rs->axpy = impl.axpy;
    rs->scal = impl.scal;
    rs->axiy = impl.axiy;
    rs->alignment = impl.alignment;
    rs->dotp = impl.dotp;
    rs->owned = 0;
    // Cauchy matrix of the points x_i = i and y_j = ps + j: every square sub-matrix is invertible.
    std::uint8_t* p = matrixOf(rs);
    for (int i = 0; i < ps; ++i)
        for (int j = 0; j < ds; ++j)
            p[i * ds + j] = GF2_8_INV[static_cast<unsigned>((j + ps) ^ i)];
    return rs;
}

void reed_solomon_release(reed_solomon* rs)
{
    if (rs != nullptr && rs->owned != 0)
        obl_free(rs);
}

int reed_solomon_decode(reed_solomon* rs, std::uint8_t* const* shards, const std::uint8_t* marks, int nr_shards,
    int bs)
{
    if (rs == nullptr || shards == nullptr || marks == nullptr || bs < 1 || nr_shards < rs->ts)
        return -1;
    const int ds = rs->ds;
    const int ts = rs->ts;

    std::uint8_t lost[kMaxShards];
    std::uint8_t present[kMaxShards];
    int e = 0;
    int kept = 0;
    for (int i = 0; i < ds; ++i) {
        if (marks[i] != 0)
            lost[e++] = static_cast<std::uint8_t>(i);
        else
            present[kept++] = static_cast<std::uint8_t>(i);
    }
    if (e == 0)
        return 0;

    // Each lost data shard is paired with the next present parity shard, in index order.
    std::uint8_t partner[kMaxShards];
    int found = 0;
    for (int i = ds; i < ts && found < e; ++i)
        if (marks[i] == 0)
            partner[found++] = static_cast<std::uint8_t>(i - ds);
    if (found < e)
        return -1;

    // Rows of the decode: outputs are the lost data buffers, inputs the partner parity shards followed
    // by the present data shards.
    std::uint8_t* out[kMaxShards];
    const std::uint8_t* in[kMaxShards];
    for (int m = 0; m < e; ++m) {
        out[m] = shards[lost[m]];
        in[m] = shards[ds + partner[m]];
        if (out[m] == nullptr || in[m] == nullptr)
            return -1;
    }
    for (int c = 0; c < kept; ++c) {
        in[e + c] = shards[present[c]];
        if (in[e + c] == nullptr)
            return -1;
    }

    // Row m of the e x ds work matrix is partner row r_m of P, its lost columns first and then its
    // present columns: [W | Q]. Lost shards x satisfy W x = parity + Q d (characteristic 2: minus is
    // plus), so x = W^-1 parity + W^-1 Q d.
    const std::uint8_t* p = matrixOf(rs);
    std::uint8_t* a = matrixOf(rs) + static_cast<std::size_t>(rs->ps) * ds;
    for (int m = 0; m < e; ++m) {
        const std::uint8_t* row = p + static_cast<std::size_t>(partner[m]) * ds;
        std::uint8_t* target = a + static_cast<std::size_t>(m) * ds;
        for (int n = 0; n < e; ++n)
            target[n] = row[lost[n]];
        for (int c = 0; c < kept; ++c)
            target[e + c] = row[present[c]];
    }

    // Gauss-Jordan sweep in place: pivoting on (n, n) turns column n into column n of the inverse, so after
    // all e pivots the left part holds W^-1 and the right part W^-1 Q. W is a square part of a Cauchy
    // matrix, so all its leading minors are non-zero and no row exchange is needed.
    const auto width = static_cast<std::uint32_t>(ds);
    for (int n = 0; n < e; ++n) {
        std::uint8_t* pivotRow = a + static_cast<std::size_t>(n) * ds;
        const std::uint8_t pivot = pivotRow[n];
        if (pivot == 0)
            return -1;
        const std::uint8_t inverse = GF2_8_INV[pivot];
        if (pivot != 1)
            rs->scal(pivotRow, inverse, width);
        pivotRow[n] = inverse;
        for (int m = 0; m < e; ++m) {
            if (m == n)
                continue;
            std::uint8_t* row = a + static_cast<std::size_t>(m) * ds;
            const std::uint8_t f = row[n];
            if (f == 0)
                continue;
            rs->axpy(row, pivotRow, f, width);
            row[n] = GF2_8_MUL[f][inverse];
        }
    }

    rs->dotp(out, static_cast<std::uint32_t>(e), in, width, a, static_cast<std::uint32_t>(bs));
    return 0;
}

int reed_solomon_encode(reed_solomon* rs, std::uint8_t* const* shards, int nr_shards, int bs)
{
    if (rs == nullptr || shards == nullptr || bs < 1 || nr_shards < rs->ts)
        return -1;
    for (int i = 0; i < rs->ts; ++i)
        if (shards[i] == nullptr)
            return -1;
    const std::uint8_t* const* data = shards;
    rs->dotp(shards + rs->ds, static_cast<std::uint32_t>(rs->ps), data, static_cast<std::uint32_t>(rs->ds),
        matrixOf(rs), static_cast<std::uint32_t>(bs));
    return 0;
}

} // namespace corvane::stream
