#pragma once

// What the update tests share: one application object for the program, a manager on a manual clock, and a
// pump that runs the event loop and steps the clock until a condition holds.

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/updates/UpdateManager.hpp"
#include "tests/support/TestSupport.hpp"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvane::test {

inline void ensureApplication() {
    static std::unique_ptr<QCoreApplication> app;
    static std::unique_ptr<TempDir> state;
    if (QCoreApplication::instance()) return;
    state = std::make_unique<TempDir>();
    ::setenv("XDG_STATE_HOME", state->path().c_str(), 1);
    static int argc = 1;
    static char name[] = "corvane-tests";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
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
        for (const auto& s : statuses)
            if (s == status) return true;
        return false;
    }
};

inline std::string logTail(int lines = 50) {
    Log::flush();
    return Log::tail(lines);
}

} // namespace corvane::test
