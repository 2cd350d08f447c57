#pragma once

#include <string>
#include <sys/types.h>

namespace corvane::test {

// A helper program (a stand-in service, a window, a notification daemon) run as this process's own child
// through `/bin/sh -c 'exec <command>'`, so the command's redirections apply and the child is the program
// itself. Signals reach it only while it is our unreaped child: its process id cannot have been taken by
// another program then (a pid kept after the child is reaped can name another test's X server by the time
// it is signalled). Ended with SIGTERM and reaped with the object; the kernel sends it SIGKILL should the
// creating thread end first. Create it on the main thread.
class OwnedProcess {
public:
    // Throws std::runtime_error when no child could be made.
    explicit OwnedProcess(const std::string& command);
    ~OwnedProcess();
    OwnedProcess(const OwnedProcess&) = delete;
    OwnedProcess& operator=(const OwnedProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once it has ended (it is reaped then).
    bool running();
    // Sends `signal` while it runs; false when it has ended and nothing was sent.
    bool signal(int signal);
    // SIGTERM (and SIGCONT, should it be stopped), SIGKILL if it has not ended 10 s later; then reaped.
    // Its wait status, -1 when it was not ours to read. Does nothing more once it has ended.
    int stop();

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

}  // namespace corvane::test
