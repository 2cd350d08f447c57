// AVX-512BW kernels. Only these functions carry the avx512 targets, so the rest of the program stays
// baseline x86-64; oblas_get_impl hands them out only when the CPU has AVX-512F and AVX-512BW. Tails
// shorter than a vector go through byte masks, so no kernel falls back to the byte-wise tables.

// gcc 12 takes the "undefined" source operand inside its own AVX-512 intrinsics for an uninitialised value.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include <immintrin.h>

#include <cstring>

#include "engine/reed_solomon/GaloisField.hpp"
#include "engine/reed_solomon/Oblas.hpp"

#define CORVANE_AVX512 __attribute__((target("avx512f,avx512bw")))
#define CORVANE_AVX512_INLINE __attribute__((target("avx512f,avx512bw"), always_inline)) inline

namespace corvane::stream {

namespace {

// Both nibble tables of u, each repeated in the four 128-bit lanes.
struct Tables512 {
    __m512i lo;
    __m512i hi;
};

CORVANE_AVX512_INLINE Tables512 tables512(std::uint8_t u)
{
    return {_mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_LO[u].data()))),
        _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(GF2_8_SHUF_HI[u].data())))};
}

CORVANE_AVX512_INLINE __m512i mul512(const Tables512& t, __m512i x, __m512i mask)
{
    const __m512i lo = _mm512_shuffle_epi8(t.lo, _mm512_and_si512(x, mask));
    const __m512i hi = _mm512_shuffle_epi8(t.hi, _mm512_and_si512(_mm512_srli_epi64(x, 4), mask));
    return _mm512_xor_si512(lo, hi);
}

// The bytes of a stretch of n bytes (n at most 64) that exist: all of them for a whole vector.
CORVANE_AVX512_INLINE __mmask64 bytesMask(std::uint32_t n)
{
    return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

CORVANE_AVX512_INLINE __m512i load(const std::uint8_t* p, __mmask64 m)
{
    return _mm512_maskz_loadu_epi8(m, p);
}

CORVANE_AVX512_INLINE void store(std::uint8_t* p, __mmask64 m, __m512i v)
{
    _mm512_mask_storeu_epi8(p, m, v);
}

// Writes u * b (accumulate false) or a + u * b (accumulate true) into a.
template <bool accumulate>
CORVANE_AVX512_INLINE void mulRow(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    const Tables512 t = tables512(u);
    const __m512i mask = _mm512_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 128 <= k; i += 128) {
        __m512i p0 = mul512(t, _mm512_loadu_si512(b + i), mask);
        __m512i p1 = mul512(t, _mm512_loadu_si512(b + i + 64), mask);
        if constexpr (accumulate) {
            p0 = _mm512_xor_si512(p0, _mm512_loadu_si512(a + i));
            p1 = _mm512_xor_si512(p1, _mm512_loadu_si512(a + i + 64));
        }
        _mm512_storeu_si512(a + i, p0);
        _mm512_storeu_si512(a + i + 64, p1);
    }
    for (; i < k; i += 64) {
        const __mmask64 m = bytesMask(k - i);
        __m512i p = mul512(t, load(b + i, m), mask);
        if constexpr (accumulate)
            p = _mm512_xor_si512(p, load(a + i, m));
        store(a + i, m, p);
    }
}

// rows outputs of a dot product at once: the accumulators stay in registers over all inputs and each
// input stretch is loaded and split into nibbles once for all rows.
template <unsigned rows>
CORVANE_AVX512_INLINE void dotpRows(std::uint8_t* const* out, const std::uint8_t* const* in, std::uint32_t count,
    const std::uint8_t* coef, std::uint32_t k)
{
    const __m512i mask = _mm512_set1_epi8(0x0f);
    std::uint32_t i = 0;
    for (; i + 128 <= k; i += 128) {
        __m512i acc0[rows];
        __m512i acc1[rows];
        for (unsigned r = 0; r < rows; ++r) {
            acc0[r] = _mm512_setzero_si512();
            acc1[r] = _mm512_setzero_si512();
        }
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m512i x0 = _mm512_loadu_si512(in[s] + i);
            const __m512i x1 = _mm512_loadu_si512(in[s] + i + 64);
            const __m512i l0 = _mm512_and_si512(x0, mask);
            const __m512i h0 = _mm512_and_si512(_mm512_srli_epi64(x0, 4), mask);
            const __m512i l1 = _mm512_and_si512(x1, mask);
            const __m512i h1 = _mm512_and_si512(_mm512_srli_epi64(x1, 4), mask);
            for (unsigned r = 0; r < rows; ++r) {
                const Tables512 t = tables512(coef[r * count + s]);
                acc0[r] = _mm512_ternarylogic_epi64(acc0[r], _mm512_shuffle_epi8(t.lo, l0),
                    _mm512_shuffle_epi8(t.hi, h0), 0x96);
                acc1[r] = _mm512_ternarylogic_epi64(acc1[r], _mm512_shuffle_epi8(t.lo, l1),
                    _mm512_shuffle_epi8(t.hi, h1), 0x96);
            }
        }
        for (unsigned r = 0; r < rows; ++r) {
            _mm512_storeu_si512(out[r] + i, acc0[r]);
            _mm512_storeu_si512(out[r] + i + 64, acc1[r]);
        }
    }
    for (; i < k; i += 64) {
        const __mmask64 m = bytesMask(k - i);
        __m512i acc[rows];
        for (unsigned r = 0; r < rows; ++r)
            acc[r] = _mm512_setzero_si512();
        for (std::uint32_t s = 0; s < count; ++s) {
            const __m512i x = load(in[s] + i, m);
            for (unsigned r = 0; r < rows; ++r)
                acc[r] = _mm512_xor_si512(acc[r], mul512(tables512(coef[r * count + s]), x, mask));
        }
        for (unsigned r = 0; r < rows; ++r)
            store(out[r] + i, m, acc[r]);
    }
}

} // namespace

CORVANE_AVX512 void obl_axpy_avx512(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    if (u == 0)
        return;
    if (u == 1) {
        for (std::uint32_t i = 0; i < k; i += 64) {
            const __mmask64 m = bytesMask(k - i);
            store(a + i, m, _mm512_xor_si512(load(a + i, m), load(b + i, m)));
        }
        return;
    }
    mulRow<true>(a, b, u, k);
}

CORVANE_AVX512 void obl_scal_avx512(std::uint8_t* a, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, a, u, k);
}

CORVANE_AVX512 void obl_axiy_avx512(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    mulRow<false>(a, b, u, k);
}

CORVANE_AVX512 void obl_axpyb32_avx512(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k)
{
    // Bit t of word p stands for byte 32p + t: two words are the byte mask of a 64-byte stretch.
    const __m512i value = _mm512_set1_epi8(static_cast<char>(u));
    for (std::uint32_t i = 0; i < k; i += 64) {
        const std::uint32_t n = k - i < 64 ? k - i : 64;
        std::uint64_t bits = b[i / 32];
        if (n > 32)
            bits |= std::uint64_t{b[i / 32 + 1]} << 32;
        const __mmask64 m = bytesMask(n) & bits;
        store(a + i, m, _mm512_xor_si512(load(a + i, m), value));
    }
}

CORVANE_AVX512 void obl_dotp_avx512(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k)
{
    if (count == 0) {
        for (std::uint32_t r = 0; r < rows; ++r)
            std::memset(out[r], 0, k);
        return;
    }
    std::uint32_t r = 0;
    for (; r + 6 <= rows; r += 6)
        dotpRows<6>(out + r, in, count, coef + static_cast<std::size_t>(r) * count, k);
    const std::uint8_t* rest = coef + static_cast<std::size_t>(r) * count;
    switch (rows - r) {
    case 5:
        dotpRows<5>(out + r, in, count, rest, k);
        break;
    case 4:
        dotpRows<4>(out + r, in, count, rest, k);
        break;
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
