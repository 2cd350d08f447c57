// ThreadPriority against RealtimeKit as a desktop runs it: a stand-in service (python3-dbus) on a bus of the
// test's own (dbus-daemon), named by DBUS_SYSTEM_BUS_ADDRESS. The kernel side is a process without privilege
// (FakeKernel), except RLIMIT_RTTIME, which is this process's own, so the service reads it from /proc.
#include "platform/realtime/ThreadPriority.hpp"
#include "tests/platform/realtime/FakeKernel.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::platform {
namespace {

using Strings = std::vector<std::string>;

// A cached compile leaves __FILE__ relative to the build folder, the parent of this program's.
const std::filesystem::path kScripts = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                       std::filesystem::path(__FILE__).parent_path() / "dbus";

constexpr ThreadPriority::Request kSound{8, -15, std::chrono::milliseconds(10000)};

// A child that the kernel ends with this program; its standard output goes to `output`.
pid_t spawn(const std::vector<std::string>& command, const std::filesystem::path& output) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    if (!std::freopen(output.c_str(), "w", stdout)) ::_exit(1);
    std::vector<char*> argv;
    for (const auto& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

bool waitFor(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class RealtimeKitPeer : public ::testing::Test {
protected:
    void SetUp() override {
        const auto addressFile = dir.path() / "address";
        children.push_back(spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, addressFile));
        ASSERT_TRUE(waitFor([&] { return test::readWhole(addressFile).find('\n') != std::string::npos; }));
        address = test::readWhole(addressFile);
        address.resize(address.find('\n'));
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        kernel.realLimits = true;
        // Where this process may (as root), each case starts from no limit, whatever ran before it here;
        // else from the loosest soft limit it may take.
        rlimit loosest{RLIM_INFINITY, RLIM_INFINITY};
        if (::setrlimit(RLIMIT_RTTIME, &loosest) != 0 && ::getrlimit(RLIMIT_RTTIME, &loosest) == 0) {
            loosest.rlim_cur = loosest.rlim_max;
            ::setrlimit(RLIMIT_RTTIME, &loosest);
        }
    }
    void TearDown() override {
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        for (const pid_t pid : children) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // The service with its mode (grant, no-realtime, refuse-all) and its three properties.
    void startService(const std::string& mode, int maxPriority, long long rttimeMax, int minNice) {
        children.push_back(spawn({"/usr/bin/python3", (kScripts / "realtimekit.py").string(), address, record().string(),
                                  mode, std::to_string(maxPriority), std::to_string(rttimeMax), std::to_string(minNice)},
                                 dir.path() / "service.out"));
        ASSERT_TRUE(waitFor([&] { return recorded().find("ready\n") != std::string::npos; })) << recorded();
    }
    std::filesystem::path record() const { return dir.path() / "record.txt"; }
    std::string recorded() const { return test::readWhole(record()); }

    // Raises a thread of this process other than the caller; its kernel id in `thread`.
    ThreadPriority::Grant raiseAnotherThread(pid_t& thread) {
        std::promise<pid_t> id;
        std::promise<void> done;
        std::thread other([&] {
            id.set_value(ThreadPriority::callingThread());
            done.get_future().wait();
        });
        thread = id.get_future().get();
        const auto grant = ThreadPriority::raise(thread, kSound, kernel.system());
        done.set_value();
        other.join();
        return grant;
    }

    test::TempDir dir;
    std::string address;
    std::vector<pid_t> children;
    test::FakeKernel kernel;
};

// A soft limit within the service's maximum under an unlimited hard one: the service wants both within it,
// so the hard one is lowered and the soft one kept.
TEST_F(RealtimeKitPeer, ASoftRLIMIT_RTTIMEWithinTheMaximumUnderAnUnlimitedHardOneHasTheHardOneLowered) {
    startService("grant", 20, 200000, -15);
    // Raising a hard limit lowered by a case before it in this process takes a privilege (ctest runs each
    // case in a process of its own).
    const rlimit softOnly{50000, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_RTTIME, &softOnly) != 0) GTEST_SKIP() << "RLIMIT_RTTIME's hard limit cannot be raised again";
    pid_t thread = 0;
    const auto grant = raiseAnotherThread(thread);
    EXPECT_EQ(grant.description(), "real-time SCHED_RR priority 8, through RealtimeKit, RLIMIT_RTTIME 200000 us; "
                                   "refused: real-time directly (Operation not permitted)");
    EXPECT_EQ(recorded(), "ready\nMakeThreadRealtime|" + std::to_string(thread) + "|8|50000/200000\n");
}

TEST_F(RealtimeKitPeer, RealTimeThroughTheServiceAfterHoldingRLIMIT_RTTIMEToItsMaximum) {
    startService("grant", 3, 150000, -11);
    pid_t thread = 0;
    const auto grant = raiseAnotherThread(thread);
    EXPECT_EQ(grant.description(), "real-time SCHED_RR priority 3, through RealtimeKit, RLIMIT_RTTIME 150000 us; "
                                   "refused: real-time directly (Operation not permitted)");
    // The service saw the thread's own id, the asked priority lowered to its maximum, and the limit set.
    EXPECT_EQ(recorded(), "ready\nMakeThreadRealtime|" + std::to_string(thread) + "|3|150000/150000\n");
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_RTTIME, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, 150000u);
    EXPECT_EQ(limit.rlim_max, 150000u);
}

TEST_F(RealtimeKitPeer, AStricterRLIMIT_RTTIMEIsKept) {
    startService("grant", 20, 200000, -15);
    const rlimit stricter{50000, 120000};
    ASSERT_EQ(::setrlimit(RLIMIT_RTTIME, &stricter), 0);
    pid_t thread = 0;
    const auto grant = raiseAnotherThread(thread);
    EXPECT_EQ(grant.rtTimeLimit, -1);
    EXPECT_EQ(grant.scheduling, (ThreadPriority::Scheduling{ThreadPriority::Policy::roundRobin, 8, 0}));
    EXPECT_EQ(recorded(), "ready\nMakeThreadRealtime|" + std::to_string(thread) + "|8|50000/120000\n");
}

TEST_F(RealtimeKitPeer, RealTimeRefusedTheServicesNiceLevelThenOneOfOurOwn) {
    startService("no-realtime", 20, 100000, -11);
    pid_t thread = 0;
    auto grant = raiseAnotherThread(thread);
    const std::string refusedByService = "real-time through RealtimeKit (Operation not permitted "
                                         "(org.freedesktop.DBus.Error.AccessDenied))";
    EXPECT_EQ(grant.description(), "nice -11, through RealtimeKit, RLIMIT_RTTIME 100000 us; refused: real-time directly "
                                   "(Operation not permitted), " + refusedByService);
    EXPECT_EQ(recorded(), "ready\nrefused|real-time\nMakeThreadHighPriority|" + std::to_string(thread) + "|-11\n");

    // Refused both: the nice level this process may set itself, with reset-on-fork first.
    ::kill(children.back(), SIGKILL);
    ::waitpid(children.back(), nullptr, 0);
    children.pop_back();
    std::filesystem::remove(record());
    startService("refuse-all", 20, 100000, -11);
    kernel.calls.clear();
    kernel.nice = 35;
    grant = raiseAnotherThread(thread);
    EXPECT_EQ(grant.description(), "nice -15, set directly; refused: real-time directly (Operation not permitted), " +
                                       refusedByService + ", nice through RealtimeKit (Operation not permitted "
                                       "(org.freedesktop.DBus.Error.AccessDenied))");
    EXPECT_EQ(kernel.calls, (Strings{"scheduler rr 8", "scheduler normal 0", "nice -15"}));
}

TEST_F(RealtimeKitPeer, ABusWithoutTheServiceIsPassedBy) {
    kernel.nice = 40;
    pid_t thread = 0;
    const auto grant = raiseAnotherThread(thread);
    EXPECT_EQ(grant.scheduling, (ThreadPriority::Scheduling{ThreadPriority::Policy::normal, 0, -15}));
    ASSERT_EQ(grant.refused.size(), 2u);
    EXPECT_TRUE(grant.refused[1].starts_with("RealtimeKit (")) << grant.refused[1];
    EXPECT_NE(grant.refused[1].find("org.freedesktop.DBus.Error.ServiceUnknown"), std::string::npos) << grant.refused[1];
}

} // namespace
} // namespace corvane::platform
