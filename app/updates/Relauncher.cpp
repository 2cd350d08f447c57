#include "app/updates/Relauncher.hpp"

#include "platform/core/Error.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane {

void Relauncher::startAfterExit(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                                pid_t waitFor, double waitSeconds) {
    // The helper execs only once this process has gone, where nobody could hear of a failure: what can be
    // known now is checked now.
    struct stat st {};
    if (::stat(program.c_str(), &st) != 0) throw Error(program.string() + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode) || ::access(program.c_str(), X_OK) != 0)
        throw Error(program.string() + " is not an executable file");
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
        const int error = errno;
        if (pidfd >= 0) ::close(pidfd);
        throw Error(std::string("cannot start the helper: ") + std::strerror(error));
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Error("cannot start the helper: its fork failed");
}

} // namespace corvane
