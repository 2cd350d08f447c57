// AVX2 kernels. Only these functions carry the avx2 target, so the rest of the program stays baseline
// x86-64; oblas_get_impl hands them out only when the CPU has AVX2.

#include <immintrin.h>

#include <cstring>

#include "engine/reed_solomon/GaloisField.hpp"
#include "engine/reed_solomon/Oblas.hpp"

#define CORVANE_AVX2 __attribute__((target("avx2")))
#define CORVANE_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace corvane::stream {

namespace {

// Both nibble tables of u, each repeated in the two 128-bit lanes.
struct Tables256 {
    __m256i lo;
    __m256i hi;
};

CORVANE_AVX2_INLINE Tables256 tables256(std::uint8_t u)
{
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_LO[u].data()))),
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_HI[u].data())))};
}

CORVANE_AVX2_INLINE __m256i mul256(const Tables256& t, __m256i x, __m256i mask)
{
    const __m256i lo = _mm256_shuffle_epi8(t.lo, _mm256_and_si256(x, mask));
    const __m256i hi = _mm256_shuffle_epi8(t.hi, _mm256_and_si256(_mm256_srli_epi64(x, 4), mask));
    return _mm256_xor_si256(lo, hi);
}

CORVANE_AVX2_INLINE __m128i mul128(const Tables256& t, __m128i x, __m128i mask)
{
    const __m128i lo = _mm_shuffle_epi8(_mm256_castsi256_si128(t.lo), _mm_and_si128(x, mask));
    const __m128i hi = _mm_shuffle_epi8(_mm256_castsi256_si128(t.hi), _mm_and_si128(_mm_srli_epi64(x, 4), mask));
    return _mm_xor_si128(lo, hi);
}

CORVANE_AVX2_INLINE __m256i load256(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

CORVANE_AVX2_INLINE void store256(std::uint8_t* p, __m256i v)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

CORVANE_AVX2_INLINE __m128i load128(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

CORVANE_AVX2_INLINE void store128(std::uint8_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Writes u * b (accumulate false) or a + u * b (accumulate true) into a.
template <bool accumulate>
CORVANE_AVX2_INLINE void mulRow(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    const Tables256 t = tables256(u);
    const __m256i mask = _mm256_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 64 <= k; i += 64) {
        __m256i p0 = mul256(t, load256(b + i), mask);
        __m256i p1 = mul256(t, load256(b + i + 32), mask);
        if constexpr (accumulate) {
            p0 = _mm256_xor_si256(p0, load256(a + i));
            p1 = _mm256_xor_si256(p1, load256(a + i + 32));
        }
        store256(a + i, p0);
        store256(a + i + 32, p1);
    }
    for (; i + 16 <= k; i += 16) {
        __m128i p = mul128(t, load128(b + i), _mm256_castsi256_si128(mask));
        if constexpr (accumulate)
            p = _mm_xor_si128(p, load128(a + i));
        store128(a + i, p);
    }
    const std::uint8_t* row = GF2_8_MUL[u];
    for (; i < k; ++i)
        a[i] = accumulate ? static_cast<std::uint8_t>(a[i] ^ row[b[i]]) : row[b[i]];
}

// rows outputs of a dot product at once: the accumulators stay in registers over all inputs and each
// input stretch is loaded once for all rows.
template <unsigned rows>
CORVANE_AVX2_INLINE void dotpRows(std::uint8_t* const* out, const std::uint8_t* const* in, std::uint32_t count,
    const std::uint8_t* coef, std::uint32_t k)
{
    const __m256i mask = _mm256_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 64 <= k; i += 64) {
        __m256i acc0[rows];
        __m256i acc1[rows];
        for (unsigned r = 0; r < rows; ++r) {
            acc0[r] = _mm256_setzero_si256();
            acc1[r] = _mm256_setzero_si256();
        }
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m256i x0 = load256(in[s] + i);
            const __m256i x1 = load256(in[s] + i + 32);
            const __m256i l0 = _mm256_and_si256(x0, mask);
            const __m256i h0 = _mm256_and_si256(_mm256_srli_epi64(x0, 4), mask);
            const __m256i l1 = _mm256_and_si256(x1, mask);
            const __m256i h1 = _mm256_and_si256(_mm256_srli_epi64(x1, 4), mask);
            for (unsigned r = 0; r < rows; ++r) {
                const Tables256 t = tables256(coef[r * count + s]);
                acc0[r] = _mm256_xor_si256(acc0[r],
                    _mm256_xor_si256(_mm256_shuffle_epi8(t.lo, l0), _mm256_shuffle_epi8(t.hi, h0)));
                acc1[r] = _mm256_xor_si256(acc1[r],
                    _mm256_xor_si256(_mm256_shuffle_epi8(t.lo, l1), _mm256_shuffle_epi8(t.hi, h1)));
            }
        }
        for (unsigned r = 0; r < rows; ++r) {
            store256(out[r] + i, acc0[r]);
            store256(out[r] + i + 32, acc1[r]);
        }
    }
    for (; i + 16 <= k; i += 16) {
        __m128i acc[rows];
        for (unsigned r = 0; r < rows; ++r)
            acc[r] = _mm_setzero_si128();
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m128i x = load128(in[s] + i);
            for (unsigned r = 0; r < rows; ++r)
                acc[r] = _mm_xor_si128(acc[r], mul128(tables256(coef[r * count + s]), x, _mm256_castsi256_si128(mask)));
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

CORVANE_AVX2 void obl_axpy_avx2(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    if (u == 0)
        return;
    if (u == 1) {
        std::uint32_t i = 0;
        for (; i + 64 <= k; i += 64) {
            store256(a + i, _mm256_xor_si256(load256(a + i), load256(b + i)));
            store256(a + i + 32, _mm256_xor_si256(load256(a + i + 32), load256(b + i + 32)));
        }
        for (; i + 16 <= k; i += 16)
            store128(a + i, _mm_xor_si128(load128(a + i), load128(b + i)));
        for (; i < k; ++i)
            a[i] ^= b[i];
        return;
    }
    mulRow<true>(a, b, u, k);
}

CORVANE_AVX2 void obl_scal_avx2(std::uint8_t* a, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, a, u, k);
}

CORVANE_AVX2 void obl_axiy_avx2(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, b, u, k);
}

CORVANE_AVX2 void obl_axpyb32_avx2(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k)
{
    // Byte 8m + n of a 32-byte group follows bit n of byte m of its word: spread byte m over eight bytes,
    // then compare each with its own bit.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,
        3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i value = _mm256_set1_epi8(static_cast<char>(u));
    std::uint32_t p = 0;
    for (; 32 * p + 32 <= k; ++p) {
        const __m256i word = _mm256_set1_epi32(static_cast<int>(b[p]));
        const __m256i selected = _mm256_and_si256(_mm256_shuffle_epi8(word, spread), bits);
        const __m256i masks = _mm256_cmpeq_epi8(selected, bits);
        std::uint8_t* group = a + 32 * p;
        store256(group, _mm256_xor_si256(load256(group), _mm256_and_si256(masks, value)));
    }
    for (std::uint32_t i = 32 * p; i < k; ++i)
        if ((b[i / 32] >> (i % 32)) & 1)
            a[i] ^= u;
}

CORVANE_AVX2 void obl_dotp_avx2(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
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
