#pragma once
// What several benchmarks measure with: the main thread's own CPU time, an event-loop wait that sleeps
// rather than spins, and a 1 ms timer that records how late it comes.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>

namespace corvane::bench {

// On a busy machine the wall clock also counts the time others ran.
inline double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Runs the event loop until `done`, waking at least every 5 ms to look; a busy loop would take a core
// from the work measured.
inline void spinUntil(const std::function<bool()>& done) {
    QTimer tick;
    tick.start(5);
    while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// The longest a 1 ms timer came late while it ran.
class LatenessProbe {
public:
    LatenessProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            worst_ = std::max(worst_, std::chrono::duration<double, std::milli>(now - last_).count() - 1.0);
            last_ = now;
        });
        last_ = Clock::now();
        timer_.start();
    }
    double worstMs() const { return worst_; }
    // Starts a new measurement.
    void reset() {
        worst_ = 0;
        last_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    QTimer timer_;
    Clock::time_point last_;
    double worst_ = 0;
};

} // namespace corvane::bench
