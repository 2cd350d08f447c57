#include "app/services/AllocatorPolicy.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include <malloc.h>

namespace corvane {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnMalloc = true;
#elif defined(__has_feature)
constexpr bool kOwnMalloc = __has_feature(address_sanitizer);
#else
constexpr bool kOwnMalloc = false;
#endif

void* touched(std::size_t bytes) {
    void* block = std::malloc(bytes);
    std::memset(block, 1, bytes);
    asm volatile("" : : "r"(block) : "memory");  // kept: the compiler may not drop the pair
    return block;
}

// After one large block has come and gone, a picture-sized block is still mapped on its own (given back
// whole when freed), not carved from a heap that keeps it.
TEST(AllocatorPolicy, APictureSizedBlockIsMappedAfterALargerOneWasFreed) {
    if (kOwnMalloc) GTEST_SKIP() << "the sanitizer's malloc";
    AllocatorPolicy::apply();
    ::malloc_trim(0);  // what the heap held free before is not what is measured
    std::free(touched(8 << 20));
    const auto before = ::mallinfo2().hblkhd;
    void* plane = touched(1280 * 720);
    const auto mapped = ::mallinfo2().hblkhd - before;
    std::free(plane);
    EXPECT_GE(mapped, 1280u * 720u);
}

} // namespace
} // namespace corvane
