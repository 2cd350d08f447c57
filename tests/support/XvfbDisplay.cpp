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

constexpr int childDisplayFd = 3;

}  // namespace

XvfbDisplay::XvfbDisplay(const std::string& screen) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("Xvfb: pipe failed");
    const std::string fdText = std::to_string(childDisplayFd);
    const char* argv[] = {"Xvfb", "-displayfd", fdText.c_str(), "-screen", "0", screen.c_str(),
                          "-nolisten", "tcp", nullptr};

    pid_ = fork();
    if (pid_ < 0) {
        close(fds[0]);
        close(fds[1]);
        throw std::runtime_error("Xvfb: fork failed");
    }
    if (pid_ == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], childDisplayFd);  // the copy is inherited: dup2 clears close-on-exec
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp("Xvfb", const_cast<char* const*>(argv));
        _exit(127);
    }
    close(fds[1]);

    // Xvfb writes the display number it took, then a newline, once it accepts connections.
    std::string number;
    bool complete = false;
    pollfd reader{fds[0], POLLIN, 0};
    while (!complete && poll(&reader, 1, 15000) > 0) {
        char c = 0;
        const ssize_t n = read(fds[0], &c, 1);
        if (n <= 0) break;
        if (c == '\n')
            complete = !number.empty();
        else
            number += c;
    }
    close(fds[0]);
    if (!complete) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("Xvfb did not start");
    }
    name_ = ":" + number;
    if (const char* previous = std::getenv("DISPLAY")) previousDisplay_ = previous;
    setenv("DISPLAY", name_.c_str(), 1);
}

XvfbDisplay::~XvfbDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (previousDisplay_)
        setenv("DISPLAY", previousDisplay_->c_str(), 1);
    else
        unsetenv("DISPLAY");
}

}  // namespace corvane::test
