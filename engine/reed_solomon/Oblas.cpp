#include "engine/reed_solomon/Oblas.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "engine/reed_solomon/GaloisField.hpp"

namespace corvane::stream {

namespace {

constexpr std::size_t kContextAlignment = 16;

std::atomic<oblas_isa> forcedIsa{oblas_isa::automatic};

oblas_isa widestIsa()
{
    if (oblas_isa_supported(oblas_isa::avx512))
        return oblas_isa::avx512;
    if (oblas_isa_supported(oblas_isa::avx2))
        return oblas_isa::avx2;
    if (oblas_isa_supported(oblas_isa::ssse3))
        return oblas_isa::ssse3;
    return oblas_isa::portable;
}

} // namespace

bool oblas_isa_supported(oblas_isa isa)
{
    switch (isa) {
    case oblas_isa::automatic:
    case oblas_isa::portable:
        return true;
    case oblas_isa::ssse3:
        return __builtin_cpu_supports("ssse3");
    case oblas_isa::avx2:
        return __builtin_cpu_supports("avx2");
    case oblas_isa::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    }
    return false;
}

int oblas_get_impl_for(oblas_impl* table, oblas_isa isa)
{
    if (table == nullptr || !oblas_isa_supported(isa))
        return -1;
    gf2_8_mul_init();
    if (isa == oblas_isa::automatic) {
        isa = forcedIsa.load(std::memory_order_relaxed);
        if (isa == oblas_isa::automatic)
            isa = widestIsa();
    }
    switch (isa) {
    case oblas_isa::avx512:
        *table = {obl_axpy_avx512, obl_scal_avx512, obl_axiy_avx512, obl_axpyb32_avx512, kContextAlignment,
            obl_dotp_avx512};
        break;
    case oblas_isa::avx2:
        *table = {obl_axpy_avx2, obl_scal_avx2, obl_axiy_avx2, obl_axpyb32_avx2, kContextAlignment, obl_dotp_avx2};
        break;
    case oblas_isa::ssse3:
        *table = {obl_axpy_ssse3, obl_scal_ssse3, obl_axiy_ssse3, obl_axpyb32_ssse3, kContextAlignment,
            obl_dotp_ssse3};
        break;
    default:
        *table = {obl_axpy_portable, obl_scal_portable, obl_axiy_portable, obl_axpyb32_portable,
            kContextAlignment, obl_dotp_portable};
        break;
    }
    return 0;
}

void oblas_get_impl(oblas_impl* table)
{
    oblas_get_impl_for(table, oblas_isa::automatic);
}

int oblas_force_isa(oblas_isa isa)
{
    if (!oblas_isa_supported(isa))
        return -1;
    forcedIsa.store(isa, std::memory_order_relaxed);
    return 0;
}

void* obl_alloc(std::size_t count, std::size_t size, std::size_t alignment)
{
    if (count == 0 || size == 0)
        return nullptr;
    if (alignment < 2)
        return std::calloc(count, size);
    if ((alignment & (alignment - 1)) != 0)
        return nullptr;
    std::size_t element = 0;
    std::size_t total = 0;
    if (__builtin_add_overflow(size, alignment - 1, &element))
        return nullptr;
    element &= ~(alignment - 1);
    if (__builtin_mul_overflow(element, count, &total))
        return nullptr;
    // aligned_alloc wants at least pointer alignment.
    void* memory = std::aligned_alloc(alignment < sizeof(void*) ? sizeof(void*) : alignment, total);
    if (memory != nullptr)
        std::memset(memory, 0, total);
    return memory;
}

void obl_free(void* pointer)
{
    std::free(pointer);
}

void obl_axpy_portable(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    if (u == 0)
        return;
    if (u == 1) {
        std::uint32_t i = 0;
        for (; i + 8 <= k; i += 8) {
            std::uint64_t x;
            std::uint64_t y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            x ^= y;
            std::memcpy(a + i, &x, 8);
        }
        for (; i < k; ++i)
            a[i] ^= b[i];
        return;
    }
    const std::uint8_t* row = GF2_8_MUL[u];
    for (std::uint32_t i = 0; i < k; ++i)
        a[i] ^= row[b[i]];
}

void obl_scal_portable(std::uint8_t* a, std::uint8_t u, std::uint32_t k)
{
    const std::uint8_t* row = GF2_8_MUL[u];
    for (std::uint32_t i = 0; i < k; ++i)
        a[i] = row[a[i]];
}

void obl_axiy_portable(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k)
{
    const std::uint8_t* row = GF2_8_MUL[u];
    for (std::uint32_t i = 0; i < k; ++i)
        a[i] = row[b[i]];
}

void obl_axpyb32_portable(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k)
{
    for (std::uint32_t i = 0; i < k; ++i)
        if ((b[i / 32] >> (i % 32)) & 1)
            a[i] ^= u;
}

void obl_dotp_portable(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k)
{
    for (std::uint32_t r = 0; r < rows; ++r) {
        std::uint8_t* target = out[r];
        const std::uint8_t* row = coef + static_cast<std::size_t>(r) * count;
        if (count == 0) {
            std::memset(target, 0, k);
            continue;
        }
        obl_axiy_portable(target, in[0], row[0], k);
        for (std::uint32_t s = 1; s < count; ++s)
            obl_axpy_portable(target, in[s], row[s], k);
    }
}

} // namespace corvane::stream
