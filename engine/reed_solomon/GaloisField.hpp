#pragma once

// GF(2^8) with the reduction polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) and generator 2.
// Every table but GF2_8_MUL is computed by the compiler; GF2_8_MUL (64 KiB) is filled once at run time
// by gf2_8_mul_init().

#include <array>
#include <atomic>
#include <cstdint>

namespace corvane::stream {

namespace gf2_8_detail {

constexpr std::uint8_t mulSlow(std::uint8_t a, std::uint8_t b)
{
    unsigned product = 0;
    unsigned x = a;
    for (unsigned y = b; y != 0; y >>= 1) {
        if (y & 1)
            product ^= x;
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    return static_cast<std::uint8_t>(product);
}

constexpr std::array<std::uint8_t, 510> makeExp()
{
    std::array<std::uint8_t, 510> exp{};
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
        exp[i] = static_cast<std::uint8_t>(x);
        exp[i + 255] = static_cast<std::uint8_t>(x);
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    return exp;
}

constexpr std::array<std::uint8_t, 256> makeLog()
{
    const auto exp = makeExp();
    std::array<std::uint8_t, 256> log{};
    log[0] = 255;
    for (unsigned i = 0; i < 255; ++i)
        log[exp[i]] = static_cast<std::uint8_t>(i);
    return log;
}

constexpr std::array<std::uint8_t, 256> makeInv()
{
    const auto exp = makeExp();
    const auto log = makeLog();
    std::array<std::uint8_t, 256> inv{};
    for (unsigned a = 1; a < 256; ++a)
        inv[a] = exp[(255 - log[a]) % 255];
    return inv;
}

using NibbleTable = std::array<std::array<std::uint8_t, 16>, 256>;

constexpr NibbleTable makeShuffle(unsigned shift)
{
    NibbleTable table{};
    for (unsigned u = 0; u < 256; ++u)
        for (unsigned n = 0; n < 16; ++n)
            table[u][n] = mulSlow(static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(n << shift));
    return table;
}

} // namespace gf2_8_detail

// Entry i = 2^i for i = 0..509: the powers twice over, so a sum of two logarithms needs no reduction.
alignas(64) inline constexpr std::array<std::uint8_t, 510> GF2_8_EXP = gf2_8_detail::makeExp();
// Entry 2^i = i; entry 0 = 255, never used as a logarithm.
alignas(64) inline constexpr std::array<std::uint8_t, 256> GF2_8_LOG = gf2_8_detail::makeLog();
// Multiplicative inverses; entry 0 = 0.
alignas(64) inline constexpr std::array<std::uint8_t, 256> GF2_8_INV = gf2_8_detail::makeInv();
// Row u, column n = u * n and u * (n << 4): the 16-entry tables of a vector byte shuffle.
alignas(64) inline constexpr gf2_8_detail::NibbleTable GF2_8_SHUF_LO = gf2_8_detail::makeShuffle(0);
alignas(64) inline constexpr gf2_8_detail::NibbleTable GF2_8_SHUF_HI = gf2_8_detail::makeShuffle(4);

// Row u, column v = u * v. Valid once gf2_8_mul_initialized is set.
alignas(64) extern std::uint8_t GF2_8_MUL[256][256];
extern std::atomic<bool> gf2_8_mul_initialized;

// Fills GF2_8_MUL exactly once, however many threads call it at the same time.
void gf2_8_mul_init();

} // namespace corvane::stream
