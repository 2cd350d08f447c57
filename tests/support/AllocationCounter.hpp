#pragma once

// Counts heap allocations through this program's own global operator new. Include it in exactly one source
// file of a test or benchmark program: it replaces the global allocation functions.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace corvane::test::allocations {

// Every allocation of every thread.
inline std::atomic<std::int64_t> total{0};
// This thread's allocations while `counting` is set on it.
inline thread_local bool counting = false;
inline thread_local std::int64_t counted = 0;

inline void* take(std::size_t size, std::size_t align = 0) {
    total.fetch_add(1, std::memory_order_relaxed);
    if (counting) ++counted;
    void* p = align ? std::aligned_alloc(align, (size + align - 1) / align * align) : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

} // namespace corvane::test::allocations

// GCC pairs the replaced operator new with free() inline and cannot see that the two replacements match.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) { return corvane::test::allocations::take(size); }
void* operator new[](std::size_t size) { return corvane::test::allocations::take(size); }
void* operator new(std::size_t size, std::align_val_t align) {
    return corvane::test::allocations::take(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align) {
    return corvane::test::allocations::take(size, static_cast<std::size_t>(align));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
