// SSSE3 kernels. Only these functions carry the ssse3 target, so the rest of the program stays baseline
// x86-64; oblas_get_impl hands them out only when the CPU has SSSE3.

#include <immintrin.h>

#include <cstring>

#include "engine/reed_solomon/GaloisField.hpp"
#include "engine/reed_solomon/Oblas.hpp"

#define CORVANE_SSSE3 __attribute__((target("ssse3")))
#define CORVANE_SSSE3_INLINE __attribute__((target("ssse3"), always_inline)) inline

namespace corvane::stream {

namespace {

struct Tables128 {
    __m128i lo;
    __m128i hi;
};

CORVANE_SSSE3_INLINE Tables128 tables128(std::uint8_t u)
{
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_LO[u].data())),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_HI[u].data()))};
}

CORVANE_SSSE3_INLINE __m128i load128(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CORVANE_SSSE3_INLINE void store128(std::uint8_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

CORVANE_SSSE3_INLINE __m128i mul128(const Tables128& t, __m128i x, __m128i mask)
{
    const __m128i lo = _mm_shuffle_epi8(t.lo, _mm_and_si128(x, mask));
    const __m128i hi = _mm_shuffle_epi8(t.hi, _mm_and_si128(_mm_srli_epi64(x, 4), mask));
    return _mm_xor_si128(lo, hi);
}

template <bool accumulate>
CORVANE_SSSE3_INLINE void mulRow(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    const Tables128 t = tables128(u);
    const __m128i mask = _mm_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 64 <= k; i += 64) {
        __m128i p[4];
        for (unsigned v = 0; v < 4; ++v)
            p[v] = mul128(t, load128(b + i + 16 * v), mask);
        for (unsigned v = 0; v < 4; ++v) {
            if constexpr (accumulate)
                p[v] = _mm_xor_si128(p[v], load128(a + i + 16 * v));
            store128(a + i + 16 * v, p[v]);
        }
    }
    for (; i + 16 <= k; i += 16) {
        __m128i p = mul128(t, load128(b + i), mask);
        if constexpr (accumulate)
            p = _mm_xor_si128(p, load128(a + i));
        store128(a + i, p);
    }
    const std::uint8_t* row = GF2_8_MUL[u];
    for (; i < k; ++i)
        a[i] = accumulate ? static_cast<std::uint8_t>(a[i] ^ row[b[i]]) : row[b[i]];
}

template <unsigned rows>
CORVANE_SSSE3_INLINE void dotpRows(std::uint8_t* const* out, const std::uint8_t* const* in, std::uint32_t count,
    const std::uint8_t* coef, std::uint32_t k)
{
    const __m128i mask = _mm_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 32 <= k; i += 32) {
        __m128i acc0[rows];
        __m128i acc1[rows];
        for (unsigned r = 0; r < rows; ++r) {
            acc0[r] = _mm_setzero_si128();
            acc1[r] = _mm_setzero_si128();
        }
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m128i x0 = load128(in[s] + i);
            const __m128i x1 = load128(in[s] + i + 16);
            const __m128i l0 = _mm_and_si128(x0, mask);
            const __m128i h0 = _mm_and_si128(_mm_srli_epi64(x0, 4), mask);
            const __m128i l1 = _mm_and_si128(x1, mask);
            const __m128i h1 = _mm_and_si128(_mm_srli_epi64(x1, 4), mask);
            for (unsigned r = 0; r < rows; ++r) {
                const Tables128 t = tables128(coef[r * count + s]);
                acc0[r] = _mm_xor_si128(acc0[r], _mm_xor_si128(_mm_shuffle_epi8(t.lo, l0), _mm_shuffle_epi8(t.hi, h0)));
                acc1[r] = _mm_xor_si128(acc1[r], _mm_xor_si128(_mm_shuffle_epi8(t.lo, l1), _mm_shuffle_epi8(t.hi, h1)));
            }
        }
        for (unsigned r = 0; r < rows; ++r) {
            store128(out[r] + i, acc0[r]);
            store128(out[r] + i + 16, acc1[r]);
        }
    }
    for (; i + 16 <= k; i += 16) {
        __m128i acc[rows];
        for (unsigned r = 0; r < rows; ++r)
            acc[r] = _mm_setzero_si128();
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m128i x = load128(in[s] + i);
            for (unsigned r = 0; r < rows; ++r)
                acc[r] = _mm_xor_si128(acc[r], mul128(tables128(coef[r * count + s]), x, mask));
        }
        for (unsigned r = 0; r < rows; ++r)
            store128(out[r] + i, acc[r]);
    }
    for (; i < k; ++i) {
        for (unsigned r = 0; r < rows; ++r) {
            std::uint8_t sum = 0;
            for (std::uint32_t s = 0; s < count; ++s)
                sum ^= GF2_8_MUL[coef[r * count + s]][in[s][i]];
            out[r][i] = sum;
        }
    }
}

} // namespace

CORVANE_SSSE3 void obl_axpy_ssse3(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    if (u == 0)
        return;
    if (u == 1) {
        std::uint32_t i = 0;
        for (; i + 16 <= k; i += 16)
            store128(a + i, _mm_xor_si128(load128(a + i), load128(b + i)));
        for (; i < k; ++i)
            a[i] ^= b[i];
        return;
    }
    mulRow<true>(a, b, u, k);
}

CORVANE_SSSE3 void obl_scal_ssse3(std::uint8_t* a, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, a, u, k);
}

CORVANE_SSSE3 void obl_axiy_ssse3(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, b, u, k);
}

CORVANE_SSSE3 void obl_axpyb32_ssse3(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k)
{
    // Byte 8m + n of a 32-byte group follows bit n of byte m of its word.
    const __m128i spreadLow = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
    const __m128i spreadHigh = _mm_setr_epi8(2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m128i bits = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m128i value = _mm_set1_epi8(static_cast<char>(u));
    std::uint32_t p = 0;
    for (; 32 * p + 32 <= k; ++p) {
        const __m128i word = _mm_set1_epi32(static_cast<int>(b[p]));
        const __m128i low = _mm_cmpeq_epi8(_mm_and_si128(_mm_shuffle_epi8(word, spreadLow), bits), bits);
        const __m128i high = _mm_cmpeq_epi8(_mm_and_si128(_mm_shuffle_epi8(word, spreadHigh), bits), bits);
        std::uint8_t* group = a + 32 * p;
        store128(group, _mm_xor_si128(load128(group), _mm_and_si128(low, value)));
        store128(group + 16, _mm_xor_si128(load128(group + 16), _mm_and_si128(high, value)));
    }
    for (std::uint32_t i = 32 * p; i < k; ++i)
        if ((b[i / 32] >> (i % 32)) & 1)
            a[i] ^= u;
}

CORVANE_SSSE3 void obl_dotp_ssse3(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k)
{
    if (count == 0) {
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memset(out[r], 0, k);
        return;
    }
    std::uint32_t r = 0;
    for (; r + 4 <= rows; r += 4)
        dotpRows<4>(out + r, in, count, coef + static_cast<std::size_t>(r) * count, k);
    const std::uint8_t* rest = coef + static_cast<std::size_t>(r) * count;
    switch (rows - r) {
    case 3:
        dotpRows<3>(out + r, in, count, rest, k);
        break;
    case 2:
        dotpRows<2>(out + r, in, count, rest, k);
        break;
    case 1:
        dotpRows<1>(out + r, in, count, rest, k);
        break;
    default:
        break;
    }
}

} // namespace corvane::stream
