#include "tests/support/OwnedProcess.hpp"
#include "tests/support/TestSupport.hpp"
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace corvane::test {
namespace {

bool waitFor(const std::function<bool()>& condition) {
    for (const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20); !condition();) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The pid is the program's own (what the command runs replaces the shell) and the command's redirections apply.
TEST(OwnedProcessTest, ThePidIsTheProgramsAndItsRedirectionsApply) {
    TempDir dir;
    const auto said = dir.path() / "said";
    OwnedProcess child("sh -c 'echo $$ >&2; exec sleep 60' 2>'" + said.string() + "'");
    ASSERT_TRUE(waitFor([&] { return readWhole(said).ends_with("\n"); }));
    EXPECT_EQ(readWhole(said), std::to_string(child.pid()) + "\n");
    EXPECT_TRUE(child.running());
    const int status = child.stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_FALSE(child.running());
}

// Once it has ended (and so was reaped) nothing more is sent to its pid, which another program may have taken.
TEST(OwnedProcessTest, AnEndedChildIsNeverSignalledAgain) {
    OwnedProcess child("sh -c 'exit 3'");
    // Ended but not yet reaped: a signal would still be delivered (to the zombie) and look sent.
    ASSERT_TRUE(waitFor([&] { return readWhole("/proc/" + std::to_string(child.pid()) + "/stat").find(") Z ") != std::string::npos; }));
    EXPECT_FALSE(child.signal(SIGTERM));
    EXPECT_FALSE(child.running());
    EXPECT_FALSE(child.signal(0));
    const int status = child.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
}

// A stopped child that handles SIGTERM is continued, so it ends the way it chooses rather than being killed.
TEST(OwnedProcessTest, AStoppedChildIsContinuedToEnd) {
    TempDir dir;
    const auto ready = dir.path() / "ready";
    OwnedProcess child("sh -c 'trap \"exit 7\" TERM; echo > \"" + ready.string() + "\"; while :; do sleep 0.1; done'");
    ASSERT_TRUE(waitFor([&] { return readWhole(ready) == "\n"; }));
    ASSERT_TRUE(child.signal(SIGSTOP));
    ASSERT_TRUE(waitFor([&] {
        const std::string stat = readWhole("/proc/" + std::to_string(child.pid()) + "/stat");
        return stat.find(") T ") != std::string::npos;
    }));
    const int status = child.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

} // namespace
} // namespace corvane::test
