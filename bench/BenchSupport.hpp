#pragma once
// What several benchmarks measure with: the main thread's own CPU time, event-loop waits that sleep rather
// than spin, the load average, a 1 ms timer that records how late it comes, and percentiles.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <vector>

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

// Runs the event loop until `done` or for `seconds`, whichever comes first; whether `done`.
inline bool waitFor(const std::function<bool()>& done, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    spinUntil([&] { return done() || std::chrono::steady_clock::now() > until; });
    return done();
}

// A folder of this run's own under /tmp, the app's state, settings and data folders (and any other of
// `variables`) pointed into it, so a benchmark never reads or writes the user's.
inline std::filesystem::path privateFolder(std::initializer_list<const char*> variables = {}) {
    char folderTemplate[] = "/tmp/corvane-bench-XXXXXX";
    const std::filesystem::path folder = ::mkdtemp(folderTemplate);
    for (const char* var : {"XDG_STATE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) ::setenv(var, folder.c_str(), 1);
    for (const char* var : variables) ::setenv(var, folder.c_str(), 1);
    return folder;
}

// The machine's load average over the last minute.
inline double loadAverage() {
    double load = 0;
    return ::getloadavg(&load, 1) == 1 ? load : 0;
}

// The value below which `q` (0...1) of `values` lie (nearest rank); 0 for none.
inline double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::clamp(q, 0.0, 1.0) * double(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
    return values[rank];
}

// How late a 1 ms timer came while it ran: the worst, and every time it fired (a percentile of those).
class LatenessProbe {
public:
    LatenessProbe() {
        samples_.reserve(1 << 16);
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            const double late = std::chrono::duration<double, std::milli>(now - last_).count() - 1.0;
            worst_ = std::max(worst_, late);
            if (samples_.size() < maxSamples) samples_.push_back(late);
            last_ = now;
        });
        last_ = Clock::now();
        timer_.start();
    }
    double worstMs() const { return worst_; }
    double percentileMs(double q) const { return percentile(samples_, q); }
    const std::vector<double>& samples() const { return samples_; }
    // Starts a new measurement.
    void reset() {
        worst_ = 0;
        samples_.clear();
        last_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;
    QTimer timer_;
    static constexpr std::size_t maxSamples = 1 << 20;  // 17 minutes of a timer that keeps time
    Clock::time_point last_;
    double worst_ = 0;
    std::vector<double> samples_;
};

} // namespace corvane::bench
