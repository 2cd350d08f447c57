#pragma once

// What the update tests share: one application object for the program, a manager on a manual clock, and a
// pump that runs the event loop and steps the clock until a condition holds.

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/updates/UpdateManager.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"
#include <QApplication>
#include <algorithm>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

// The first call decides for the whole program: with `display`, a widget application on an Xvfb display of
// its own (for alerts and the clipboard), else a core application.
inline void ensureApplication(bool display = false) {
    // Kept for the whole program and never destroyed: Qt's own statics go first at exit.
    static XvfbDisplay* xvfb = nullptr;
    static TempDir* state = nullptr;
    if (QCoreApplication::instance()) return;
    state = new TempDir;
    ::setenv("XDG_STATE_HOME", state->path().c_str(), 1);
    static int argc = 1;
    static char name[] = "corvane-tests";
    static char* argv[] = {name, nullptr};
    if (!display) {
        new QCoreApplication(argc, argv);
        return;
    }
    xvfb = new XvfbDisplay;
    (void)xvfb;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    new QApplication(argc, argv);
}

// Runs the event loop; whenever nothing but clock sleeps can move, steps the clock by one second. Gives up
// after `limit` (a guard against a hang, not a time measurement).
inline bool pumpUntil(ManualClock& clock, const std::function<bool()>& done,
                      std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (done()) return true;
        if (clock.sleepers() > 0) clock.advance(1);
        else QThread::usleep(200);
    }
    return true;
}

// Every value a published field took, in order (repeats of the same value kept once).
struct Recorder {
    std::vector<std::string> statuses;
    std::vector<std::optional<double>> progress;
    std::vector<std::optional<std::string>> batchSteps;
    int checks = 0;
    void attach(UpdateManager& manager) {
        QObject::connect(&manager, &UpdateManager::changed, &manager, [this, &manager] {
            const auto& status = manager.status();
            std::string text;
            switch (status.kind) {
            case UpdateManager::Status::Kind::idle: text = "idle"; break;
            case UpdateManager::Status::Kind::checking: text = "checking"; break;
            case UpdateManager::Status::Kind::upToDate: text = "upToDate"; break;
            case UpdateManager::Status::Kind::updating: text = "updating: " + status.text; break;
            case UpdateManager::Status::Kind::failed: text = "failed: " + status.text; break;
            }
            if (statuses.empty() || statuses.back() != text) {
                if (text == "checking") ++checks;
                statuses.push_back(text);
            }
            if (progress.empty() || progress.back() != manager.progress()) progress.push_back(manager.progress());
            if (batchSteps.empty() || batchSteps.back() != manager.batchStep()) batchSteps.push_back(manager.batchStep());
        });
    }
    bool saw(const std::string& status) const {
        return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
    }
};

// A stand-in for the running app's process: the relaunch waits for it to end.
struct StandIn {
    pid_t pid = -1;
    pid_t start() {
        end();
        pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
            ::execlp("sleep", "sleep", "120", nullptr);
            ::_exit(127);
        }
        return pid;
    }
    void end() {
        if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0), pid = -1;
    }
    ~StandIn() { end(); }
};

inline std::string logTail(int lines = 50) {
    Log::flush();
    return Log::tail(lines);
}

} // namespace corvane::test
