#include "platform/realtime/ThreadPriority.hpp"
#include "tests/platform/realtime/FakeKernel.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

using Policy = ThreadPriority::Policy;
using Strings = std::vector<std::string>;

constexpr ThreadPriority::Request kSound{8, -15, std::chrono::milliseconds(2000)};

// No system bus: the address names a socket nobody made.
class ThreadPriorityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir.path() / "no-bus").string()).c_str(), 1);
    }
    void TearDown() override { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

    test::TempDir dir;
    test::FakeKernel kernel;
};

TEST_F(ThreadPriorityTest, RealTimeDirectlyWhereTheProcessMayWithinRLIMIT_RTPRIO) {
    kernel.privileged = true;
    auto grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.description(), "real-time SCHED_RR priority 8, set directly");
    EXPECT_EQ(kernel.calls, Strings{"scheduler rr 8"});

    // Without privilege, what RLIMIT_RTPRIO allows.
    kernel = {};
    kernel.rtprio = 5;
    grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.scheduling, (ThreadPriority::Scheduling{Policy::roundRobin, 5, 0}));
    EXPECT_EQ(grant.through, ThreadPriority::Through::kernel);
    EXPECT_EQ(kernel.calls, (Strings{"scheduler rr 8", "scheduler rr 5"}));
}

TEST_F(ThreadPriorityTest, WithoutPrivilegeOrBusANiceLevelWithinRLIMIT_NICE) {
    kernel.nice = 31;  // down to -11
    auto grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.description(), "nice -11, set directly; refused: real-time directly (Operation not permitted), "
                                   "RealtimeKit (no system bus: No such file or directory)");
    // Normal scheduling with reset-on-fork first, so threads it starts do not inherit the level.
    EXPECT_EQ(kernel.calls, (Strings{"scheduler rr 8", "scheduler normal 0", "nice -15", "nice -11"}));

    kernel = {};
    grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.description(), "nice 0, as it was; refused: real-time directly (Operation not permitted), "
                                   "RealtimeKit (no system bus: No such file or directory), nice directly (Permission denied)");
    EXPECT_EQ(grant.rtTimeLimit, -1);
}

TEST_F(ThreadPriorityTest, NeverLowersWhatTheThreadHas) {
    kernel.privileged = true;
    kernel.now = {Policy::fifo, 50, 0};
    auto grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.description(), "real-time SCHED_FIFO priority 50, as it was");
    EXPECT_TRUE(kernel.calls.empty());

    // Already niced further than asked, and real-time refused: the level stays.
    kernel = {};
    kernel.nice = 40;
    kernel.now = {Policy::normal, 0, -20};
    grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.scheduling, (ThreadPriority::Scheduling{Policy::normal, 0, -20}));
    EXPECT_EQ(kernel.calls, Strings{"scheduler rr 8"});

    // Real-time below the asked priority and no higher allowed: it stays real-time, not niced.
    kernel = {};
    kernel.nice = 40;
    kernel.now = {Policy::roundRobin, 2, 0};
    grant = ThreadPriority::raise(42, kSound, kernel.system());
    EXPECT_EQ(grant.scheduling, (ThreadPriority::Scheduling{Policy::roundRobin, 2, 0}));
    EXPECT_EQ(kernel.calls, Strings{"scheduler rr 8"});
}

// A bus that takes the connection and never says a word: the raise goes on after the wait.
TEST_F(ThreadPriorityTest, ABusThatNeverAnswersHoldsNoLongerThanTheWait) {
    const auto socketPath = dir.path() / "silent-bus";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socketPath.string()).c_str(), 1);

    ThreadPriority::Request request = kSound;
    request.busWait = std::chrono::milliseconds(300);
    const auto grant = ThreadPriority::raise(42, request, kernel.system());
    ::close(listener);
    EXPECT_EQ(grant.refused, (Strings{"real-time directly (Operation not permitted)",
                                      "RealtimeKit (the system bus did not answer in time)",
                                      "nice directly (Permission denied)"}));
}

// The real kernel, privileged or not: the thread has what the grant says, and a thread it starts afterwards
// gets normal scheduling again.
TEST_F(ThreadPriorityTest, TheThreadHasWhatTheGrantSaysAndItsChildrenDoNotInheritIt) {
    ThreadPriority::Grant grant;
    ThreadPriority::Scheduling seen, child;
    std::thread([&] {
        grant = ThreadPriority::raiseCallingThread(kSound);
        seen = ThreadPriority::System::kernel().current(ThreadPriority::callingThread());
        std::thread([&] { child = ThreadPriority::System::kernel().current(ThreadPriority::callingThread()); }).join();
    }).join();
    EXPECT_EQ(grant.scheduling, seen) << grant.description();
    if (grant.through != ThreadPriority::Through::unchanged) {
        EXPECT_EQ(child.policy, Policy::normal);
        EXPECT_GE(child.nice, 0);
    }
}

} // namespace
} // namespace corvane::platform
