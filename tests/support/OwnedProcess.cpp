#include "tests/support/OwnedProcess.hpp"
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

OwnedProcess::OwnedProcess(const std::string& command) {
    const std::string line = "exec " + command;
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed for: " + command);
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);  // the parent went before the request was made
        ::execv("/bin/sh", const_cast<char* const*>(argv));
        ::_exit(127);
    }
}

OwnedProcess::~OwnedProcess() { stop(); }

bool OwnedProcess::running() {
    if (reaped_) return false;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {}
    if (got == 0) return true;
    // Reaped now, or by someone else (SIGCHLD ignored): either way it is no longer ours to signal.
    reaped_ = true;
    status_ = got == pid_ ? status : -1;
    return false;
}

bool OwnedProcess::signal(int signal) { return running() && ::kill(pid_, signal) == 0; }

int OwnedProcess::stop() {
    if (!running()) return status_;
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);
    // A pidfd becomes readable when the child ends, without reaping it.
    const int exited = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd wait{exited, POLLIN, 0};
    int ready;
    while ((ready = exited < 0 ? 0 : ::poll(&wait, 1, 10000)) < 0 && errno == EINTR) {}
    if (ready <= 0) ::kill(pid_, SIGKILL);
    if (exited >= 0) ::close(exited);
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {}
    reaped_ = true;
    status_ = got == pid_ ? status : -1;
    return status_;
}

}  // namespace corvane::test
