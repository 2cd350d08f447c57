// Short turns for a waking thread: asked of the fair scheduler only, and reported as the kernel has them.
#include "platform/realtime/TimeSlice.hpp"
#include "tests/support/TestSupport.hpp"
#include <cstdint>
#include <optional>
#include <thread>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

TEST(TimeSlice, AFairThreadKeepsItsNiceAndAReportedSliceIsTheOneAsked) {
    std::thread([] {
        const pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
        ASSERT_EQ(::setpriority(PRIO_PROCESS, self, 3), 0);
        const auto slice = TimeSlice::shortenCallingThread(300us);
        // Where the kernel has slices of a thread's own, it reports this one; elsewhere nothing is claimed.
        if (test::kernelKeepsThreadSlices()) {
            EXPECT_EQ(slice, std::optional(300us));
            EXPECT_EQ(test::reportedSlice(), 300'000u);
        } else {
            EXPECT_EQ(slice, std::nullopt);
        }
        EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
        EXPECT_EQ(::getpriority(PRIO_PROCESS, self), 3);
    }).join();
}

TEST(TimeSlice, ARealTimeThreadKeepsWhatItHas) {
    std::thread([] {
        const sched_param realtime{1};
        if (::pthread_setschedparam(::pthread_self(), SCHED_RR, &realtime) != 0)
            GTEST_SKIP() << "this process may not make a real-time thread";
        EXPECT_FALSE(TimeSlice::shortenCallingThread(300us));
        EXPECT_EQ(::sched_getscheduler(0), SCHED_RR);
    }).join();
}

}  // namespace
}  // namespace corvane::platform
