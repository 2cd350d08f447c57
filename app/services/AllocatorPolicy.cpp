#include "app/services/AllocatorPolicy.hpp"

#include <cstdlib>  // defines __GLIBC__ where malloc is glibc's

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace corvane::AllocatorPolicy {

void apply() {
#if defined(__GLIBC__)
    // Setting them at all turns glibc's raising of them off; a heap's free top beyond twice the threshold
    // is given back, as glibc pairs them, whatever an earlier free had raised it to.
    ::mallopt(M_MMAP_THRESHOLD, kLargeBlockBytes);
    ::mallopt(M_TRIM_THRESHOLD, 2 * kLargeBlockBytes);
#endif
}

} // namespace corvane::AllocatorPolicy
