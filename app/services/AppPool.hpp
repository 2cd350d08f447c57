#pragma once

#include <QThreadPool>

#include <stop_token>

namespace corvane {

// The worker threads the application runs blocking work on (box and engine calls, file reads, hashing,
// extraction) through QtConcurrent::run(&pool.threads(), ...). Sized for slow box calls that mostly wait:
// a 60 s display-mode post must never hold up a 0.25 s poll, which Qt's global pool (one thread per core)
// would. Its stop token is requested when the application quits, so that no quit waits on the box.
class AppPool final {
public:
    explicit AppPool(int maxThreads = 32) { pool_.setMaxThreadCount(maxThreads); }
    ~AppPool() {
        stop_.request_stop();
        pool_.waitForDone();
    }
    AppPool(const AppPool&) = delete;
    AppPool& operator=(const AppPool&) = delete;

    QThreadPool* threads() { return &pool_; }
    std::stop_token token() const { return stop_.get_token(); }
    void requestStop() { stop_.request_stop(); }

private:
    std::stop_source stop_;
    QThreadPool pool_;
};

} // namespace corvane
