#include "app/services/Shell.hpp"

#include "app/services/Utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvane::Shell {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kCollectLimit = 32u << 20;
constexpr std::size_t kLineLimit = 1u << 20;
constexpr auto kKillGrace = std::chrono::seconds(1);
// After SIGKILL only a process that left the group can still hold a pipe; stop waiting for it.
constexpr auto kAbandonAfterKill = std::chrono::seconds(1);
constexpr auto kPollSlice = std::chrono::milliseconds(100);
constexpr int kTimedOutStatus = 124;
// pkexec's own status for a dismissed dialog; a command that ends with it is told apart by the wrapper below.
constexpr int kAdminDismissed = 126;
// Runs the command ($1) in a subshell, so that its own "exit" cannot skip the mapping, and turns its 126
// into 1: a 126 that reaches us is then pkexec's alone.
constexpr const char* kAdminWrapper = "(eval \"$1\"); status=$?; [ \"$status\" -eq 126 ] && status=1; exit \"$status\"";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Bytes from one pipe, kept up to the collect limit.
struct Sink {
    Fd fd;
    std::string bytes;
    std::function<void(std::string_view)> onChunk;  // sees every byte, even past the limit

    void take(const char* data, std::size_t size) {
        if (onChunk) onChunk({data, size});
        const std::size_t room = kCollectLimit - std::min(kCollectLimit, bytes.size());
        bytes.append(data, std::min(room, size));
    }
};

Clock::time_point deadlineAfter(double seconds) {
    if (std::isnan(seconds) || seconds <= 0) return Clock::now();
    if (seconds > 1e9) return Clock::time_point::max();  // never, without overflowing the clock
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::int32_t statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
    return -1;
}

ProcessResult launchFailure(const std::string& path, int error) {
    ProcessResult result;
    result.status = -1;
    result.stderr = "The program " + path + " could not be started: " + std::strerror(error);
    return result;
}

// Spawns the child in its own process group with `out` as standard output and `err` as standard error,
// default signal handling and an empty signal mask (the app's threads may block or ignore signals).
int spawn(const std::string& path, const std::vector<std::string>& arguments, int out, int err, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return rc;
}

// Runs one child to its end. With `merged`, standard error shares the standard output pipe.
ProcessResult runChild(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                       std::stop_token stop, bool merged, std::function<void(std::string_view)> onOutput) {
    int outPipe[2];
    int errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return launchFailure(path, errno);
    if (!merged && ::pipe2(errPipe, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return launchFailure(path, error);
    }
    Sink out{Fd(outPipe[0]), {}, std::move(onOutput)};
    Sink err{Fd(errPipe[0]), {}, {}};
    Fd outWrite(outPipe[1]);
    Fd errWrite(errPipe[1]);

    pid_t pid = -1;
    const int rc = spawn(path, arguments, outWrite.get(), merged ? outWrite.get() : errWrite.get(), pid);
    outWrite.reset();
    errWrite.reset();
    if (rc != 0) return launchFailure(path, rc);

    // A pidfd wakes the poll when the child ends; without one (old kernels) the poll slices notice it.
    Fd exitFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    const auto deadline = deadlineAfter(timeout);
    bool exited = false;
    bool statusLost = false;  // reaped by someone else (SIGCHLD ignored): the status is unknown
    int waitStatus = 0;
    bool timedOut = false;
    enum class Ending { none, terminated, killed } ending = Ending::none;
    Clock::time_point endingSince{};
    std::vector<char> buffer(1 << 16);

    while (out.fd.open() || err.fd.open() || !exited) {
        const auto now = Clock::now();
        if (ending == Ending::none && (now >= deadline || stop.stop_requested())) {
            timedOut = true;
            ::kill(-pid, SIGTERM);
            ending = Ending::terminated;
            endingSince = now;
        } else if (ending == Ending::terminated && now >= endingSince + kKillGrace) {
            ::kill(-pid, SIGKILL);
            ending = Ending::killed;
            endingSince = now;
        } else if (ending == Ending::killed && now >= endingSince + kAbandonAfterKill) {
            break;  // something outside the group holds the pipes
        }

        auto wait = kPollSlice;
        if (ending == Ending::none && deadline - now < wait)
            wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) + std::chrono::milliseconds(1);
        pollfd fds[3];
        int count = 0;
        Sink* sinks[3] = {};
        for (Sink* sink : {&out, &err}) {
            if (!sink->fd.open()) continue;
            fds[count] = {sink->fd.get(), POLLIN, 0};
            sinks[count++] = sink;
        }
        if (!exited && exitFd.open()) fds[count++] = {exitFd.get(), POLLIN, 0};
        const int ready = ::poll(fds, static_cast<nfds_t>(count), static_cast<int>(wait.count()));
        if (ready < 0 && errno != EINTR) {
            ::kill(-pid, SIGKILL);  // cannot watch it any longer: end it rather than wait blind
            break;
        }
        for (int i = 0; i < count && ready > 0; ++i) {
            if (!sinks[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                sinks[i]->take(buffer.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                sinks[i]->fd.reset();
            }
        }
        if (!exited) {
            // Seen ended but left unreaped: while it is a zombie its pid, and so its group's id, cannot be
            // taken by another program, which a signal to the group (a grandchild still holds the pipes)
            // would otherwise reach.
            siginfo_t info{};
            const int seen = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if (seen == 0 && info.si_pid == pid) exited = true;
            if (seen < 0 && errno == ECHILD) exited = statusLost = true;
        }
    }
    out.fd.reset();
    err.fd.reset();
    if (!statusLost) {
        // Ended already, or after SIGKILL, which the child cannot outlive.
        pid_t reaped;
        while ((reaped = ::waitpid(pid, &waitStatus, 0)) < 0 && errno == EINTR) {}
        if (reaped < 0) statusLost = true;
    }

    ProcessResult result;
    result.status = statusOf(waitStatus);
    result.timedOut = timedOut;
    if (timedOut && result.status == 0) result.status = kTimedOutStatus;
    result.stdout = Utf8::repaired(out.bytes);
    result.stderr = Utf8::repaired(err.bytes);
    if (statusLost) {
        // Never a success that was not seen.
        result.status = -1;
        if (!result.stderr.empty() && result.stderr.back() != '\n') result.stderr += '\n';
        result.stderr += "The exit status of " + path + " could not be read.";
    }
    return result;
}

std::string trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return std::string(text);
}

// A cut that keeps a multi-byte character whole: back up over continuation bytes.
std::size_t characterBoundary(std::string_view bytes, std::size_t at) {
    std::size_t cut = at;
    while (cut > 0 && cut > at - 3 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
    return cut == 0 ? at : cut;
}

} // namespace

AdminError::AdminError(Kind kind, std::string text, std::string description)
    : Error(std::move(description)), kind(kind), text(std::move(text)) {}

AdminError AdminError::failed(std::string text) {
    std::string description = "The setup step failed: " + text;
    return AdminError(Kind::failed, std::move(text), std::move(description));
}

AdminError AdminError::cancelled() { return AdminError(Kind::cancelled, {}, "The password prompt was cancelled."); }

ProcessResult run(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                  std::stop_token stop) {
    return runChild(path, arguments, timeout, std::move(stop), false, {});
}

ProcessResult runStreaming(const std::string& path, const std::vector<std::string>& arguments, double timeout,
                           const std::function<void(const std::string& line)>& onLine, std::stop_token stop) {
    std::string pending;
    auto onOutput = [&](std::string_view chunk) {
        pending.append(chunk);
        std::size_t start = 0;
        for (;;) {
            const auto newline = pending.find('\n', start);
            if (newline == std::string::npos) break;
            if (onLine) onLine(Utf8::repaired(std::string_view(pending).substr(start, newline - start)));
            start = newline + 1;
        }
        pending.erase(0, start);
        while (pending.size() > kLineLimit) {
            const std::size_t cut = characterBoundary(pending, kLineLimit);
            if (onLine) onLine(Utf8::repaired(std::string_view(pending).substr(0, cut)));
            pending.erase(0, cut);
        }
    };
    ProcessResult result = runChild(path, arguments, timeout, std::move(stop), true, onOutput);
    if (result.status == -1 && !result.stderr.empty() && result.stdout.empty()) return result;  // never started
    if (!pending.empty() && onLine) onLine(Utf8::repaired(pending));
    if (result.status != -1) result.stderr.clear();
    return result;
}

void runAsAdmin(const std::string& command, const std::string& prompt, const std::string& adminProgram,
                std::stop_token stop, const Runner& runner) {
    (void)prompt;
    const std::vector<std::string> arguments{"/bin/sh", "-c", kAdminWrapper, "sh", command};
    const ProcessResult result = (runner ? runner : Runner(run))(adminProgram, arguments, 300, std::move(stop));
    if (result.status == 0 && !result.timedOut) return;
    // pkexec ends with 126 when the user dismissed its dialog, 127 when authorisation failed.
    if (result.status == kAdminDismissed && !result.timedOut) throw AdminError::cancelled();
    throw AdminError::failed(trimmed(result.stderr));
}

} // namespace corvane::Shell
