#pragma once

// Row kernels over GF(2^8) and the aligned allocator of the Reed-Solomon codec. Every kernel exists in a
// portable form and in SSSE3, AVX2 and AVX-512BW forms; oblas_get_impl picks the widest one the CPU runs.

#include <cstddef>
#include <cstdint>

namespace corvane::stream {

// a[i] = a[i] + u * b[i] (axpy) or a[i] = u * b[i] (axiy), for i < k.
using obl_axpy_fn = void (*)(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
// a[i] = u * a[i], for i < k.
using obl_scal_fn = void (*)(std::uint8_t* a, std::uint8_t u, std::uint32_t k);
// For each set bit t of word p of b with 32p + t < k: a[32p + t] = a[32p + t] + u.
using obl_axpyb32_fn = void (*)(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k);
// out[r][i] = sum over s of coef[r * count + s] * in[s][i], for r < rows, i < k. The outputs are written
// once, after every input of a stretch has been read, so they must not be inputs too.
using obl_dotp_fn = void (*)(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k);

struct oblas_impl {
    obl_axpy_fn axpy;
    obl_scal_fn scal;
    obl_axpy_fn axiy;
    obl_axpyb32_fn axpyb32;
    std::size_t alignment;
    obl_dotp_fn dotp;
};

enum class oblas_isa { automatic, portable, ssse3, avx2, avx512 };

// Fills GF2_8_MUL on the first call, then the table with the kernels of the chosen instruction set.
void oblas_get_impl(oblas_impl* table);
// Fills the table with one instruction set's kernels; -1 when this CPU cannot run them.
int oblas_get_impl_for(oblas_impl* table, oblas_isa isa);
bool oblas_isa_supported(oblas_isa isa);
// Makes oblas_get_impl hand out one instruction set's kernels from now on (automatic: the widest again),
// so tests and benchmarks can compare them; -1 when this CPU cannot run them.
int oblas_force_isa(oblas_isa isa);

// Zeroed memory for count elements of size bytes, each rounded up to a multiple of alignment when the
// alignment is 2 or more; none when a count is 0, the alignment is not a power of two or the total overflows.
void* obl_alloc(std::size_t count, std::size_t size, std::size_t alignment);
void obl_free(void* pointer);

void obl_axpy_portable(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_scal_portable(std::uint8_t* a, std::uint8_t u, std::uint32_t k);
void obl_axiy_portable(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_axpyb32_portable(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k);
void obl_dotp_portable(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k);

void obl_axpy_ssse3(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_scal_ssse3(std::uint8_t* a, std::uint8_t u, std::uint32_t k);
void obl_axiy_ssse3(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_axpyb32_ssse3(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k);
void obl_dotp_ssse3(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k);

void obl_axpy_avx2(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_scal_avx2(std::uint8_t* a, std::uint8_t u, std::uint32_t k);
void obl_axiy_avx2(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_axpyb32_avx2(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k);
void obl_dotp_avx2(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k);

void obl_axpy_avx512(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_scal_avx512(std::uint8_t* a, std::uint8_t u, std::uint32_t k);
void obl_axiy_avx512(std::uint8_t* a, const std::uint8_t* b, std::uint8_t u, std::uint32_t k);
void obl_axpyb32_avx512(std::uint8_t* a, const std::uint32_t* b, std::uint8_t u, std::uint32_t k);
void obl_dotp_avx512(std::uint8_t* const* out, std::uint32_t rows, const std::uint8_t* const* in,
    std::uint32_t count, const std::uint8_t* coef, std::uint32_t k);

} // namespace corvane::stream
