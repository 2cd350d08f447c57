#include "tests/support/XvfbDisplay.hpp"
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

namespace {

// One try: Xvfb's pid, its display number once it accepts connections, or none (the server ended, reaped).
std::string tryStart(const std::string& screen, pid_t& pid) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("Xvfb: pipe failed");
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp", nullptr};
    pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], 3);  // the copy is inherited: dup2 clears close-on-exec
        const int null = open("/dev/null", O_RDWR);
        for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
        execvp("Xvfb", const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number it took, then a newline, once it accepts connections.
    std::string number;
    bool complete = false;
    pollfd reader{fds[0], POLLIN, 0};
    for (char c = 0; pid > 0 && !complete && poll(&reader, 1, 15000) > 0 && read(fds[0], &c, 1) == 1;)
        c == '\n' ? void(complete = !number.empty()) : number.push_back(c);
    close(fds[0]);
    if (complete) return number;
    if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    return {};
}

}  // namespace

XvfbDisplay::XvfbDisplay(const std::string& screen) {
    // Servers starting and ending beside this one may make it give up on a display number it was looking
    // at (its lock file went between two looks); another try finds a free one.
    std::string number;
    for (int attempt = 0; attempt < 3 && number.empty(); ++attempt) number = tryStart(screen, pid_);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    name_ = ":" + number;
    if (const char* previous = std::getenv("DISPLAY")) previousDisplay_ = previous;
    setenv("DISPLAY", name_.c_str(), 1);
}

XvfbDisplay::~XvfbDisplay() {
    kill(pid_, SIGTERM);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
    previousDisplay_ ? setenv("DISPLAY", previousDisplay_->c_str(), 1) : unsetenv("DISPLAY");
}

} // namespace corvane::test
