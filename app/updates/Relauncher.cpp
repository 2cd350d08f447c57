#include "app/updates/Relauncher.hpp"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane {

bool Relauncher::startAfterExit(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                                pid_t waitFor, double waitSeconds) {
    // Everything the children need is prepared here: after fork only async-signal-safe calls are made.
    std::vector<std::string> words;
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int waitMs = waitSeconds > 0 ? static_cast<int>(waitSeconds * 1000) : 0;
    // A descriptor that becomes readable when `waitFor` ends (it is not our child, so no waitpid).
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, waitFor, 0));

    const pid_t first = ::fork();
    if (first < 0) {
        if (pidfd >= 0) ::close(pidfd);
        return false;
    }
    if (first == 0) {
        ::setsid();
        // The second fork leaves a helper that is nobody's child but init's, so no zombie stays with us.
        const pid_t second = ::fork();
        if (second != 0) ::_exit(second < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        if (pidfd >= 0) {
            pollfd watch{pidfd, POLLIN, 0};
            while (::poll(&watch, 1, waitMs) < 0 && errno == EINTR) {
            }
            ::close(pidfd);
        } else {
            for (int waited = 0; waited < waitMs && ::kill(waitFor, 0) == 0; waited += 50) ::usleep(50000);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pidfd >= 0) ::close(pidfd);
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace corvane
