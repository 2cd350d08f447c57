#pragma once

// Helper processes of a test (stand-in services, the simulated box, a session bus) end with the test program
// however it ends: a failed assertion, an abort when the X server goes away, a kill. Each child asks the
// kernel for SIGKILL when its parent goes (set between fork and exec; create them on the main thread, the
// one that lives as long as the program).

#include <QProcess>

#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

// After fork, in the child: only async-signal-safe calls.
inline void dieWithParent(pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);  // the parent went before the request was made
}

inline void endsWithTest(QProcess& process) {
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] { dieWithParent(parent); });
}

// A session bus of the program's own: the daemon is our child, in the foreground, and ends with us.
inline void startSessionBus() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const pid_t parent = ::getpid();
    const pid_t daemon = ::fork();
    if (daemon == 0) {
        dieWithParent(parent);
        ::dup2(fds[1], 3);  // the copy is inherited: dup2 clears close-on-exec
        ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--print-address=3", nullptr);
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string address;
    for (char c = 0; daemon > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n';) address.push_back(c);
    ::close(fds[0]);
    if (address.empty()) return;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    static const pid_t started = daemon;
    std::atexit([] { ::kill(started, SIGTERM), ::waitpid(started, nullptr, 0); });
}

} // namespace corvane::test
