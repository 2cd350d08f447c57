#pragma once

#include "engine/EngineLog.hpp"
#include <memory>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

namespace corvane::test {

inline std::string threadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// What callbacks on the engine's threads and the engine log saw, safe to wait on from the test thread.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> logs;
    std::vector<std::string> threads;
    template <class Change>
    void record(Change change) {
        std::lock_guard guard(lock);
        change();
        threads.push_back(threadName());
        changed.notify_all();
    }
    template <class Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, limit, [&] { return pred(); });
    }
    // Lines of the engine log starting with `prefix`.
    std::size_t countLogs(const std::string& prefix, bool whole = true) {
        std::lock_guard guard(lock);
        return static_cast<std::size_t>(std::count_if(logs.begin(), logs.end(), [&](const std::string& l) {
            return whole ? l == "[engine] " + prefix : l.starts_with("[engine] " + prefix);
        }));
    }
    // The sink keeps the recorder alive: a thread that ends on its own may log after the test.
    static void captureLog(const std::shared_ptr<Recorder>& recorder) {
        stream::EngineLog::setSink([recorder](const std::string& line) {
            std::lock_guard guard(recorder->lock);
            recorder->logs.push_back(line);
            recorder->changed.notify_all();
        });
    }
};

} // namespace corvane::test
