#include "platform/realtime/TimeSlice.hpp"

#include <cstdint>

#include <linux/sched.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::platform::TimeSlice {

namespace {

// The kernel's struct sched_attr (first version, 48 bytes); the C library has no wrapper for its calls.
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t policy;
    std::uint64_t flags;
    std::int32_t nice;
    std::uint32_t priority;
    std::uint64_t runtime;  // nanoseconds; with SCHED_OTHER, the thread's time slice
    std::uint64_t deadline;
    std::uint64_t period;
};

bool read(SchedAttr& attr) {
    attr = SchedAttr{};
    return ::syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) == 0;
}

}  // namespace

std::optional<std::chrono::microseconds> shortenCallingThread(std::chrono::microseconds slice) {
    SchedAttr attr{};
    // Only a thread of the fair scheduler: a real-time one keeps what it has.
    if (!read(attr) || attr.policy != SCHED_OTHER) return std::nullopt;
    attr.size = sizeof attr;
    attr.flags &= SCHED_FLAG_RESET_ON_FORK;  // kept as it was; the other flags ask for other changes
    attr.runtime = static_cast<std::uint64_t>(std::chrono::nanoseconds(slice).count());
    if (::syscall(SYS_sched_setattr, 0, &attr, 0) != 0) return std::nullopt;
    // Kernels without slices of a thread's own take the call and report no runtime (or their own default).
    if (!read(attr) || attr.runtime != static_cast<std::uint64_t>(std::chrono::nanoseconds(slice).count()))
        return std::nullopt;
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::nanoseconds(attr.runtime));
}

}  // namespace corvane::platform::TimeSlice
