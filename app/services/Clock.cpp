#include "app/services/Clock.hpp"

#include <QCoroTimer>

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

class SystemClock final : public Clock {
public:
    double uptime() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
    WallTime wallTime() const override { return std::chrono::system_clock::now(); }
    QCoro::Task<> sleep(double seconds) override {
        if (!(seconds > 0)) co_return;
        // Qt timers take int milliseconds; cap far-off waits at about 24 days.
        const double ms = std::min(std::ceil(seconds * 1000), 2.0e9);
        co_await QCoro::sleepFor(std::chrono::milliseconds(static_cast<long long>(ms)));
    }
};

} // namespace

Clock& Clock::system() {
    static SystemClock* clock = new SystemClock;  // lives for the process, like the event loop it uses
    return *clock;
}

ManualClock::ManualClock(double uptime, WallTime wall) : uptime_(uptime), wall_(wall) {}

struct ManualClock::Awaiter {
    ManualClock* clock;
    double deadline;
    bool await_ready() const noexcept { return clock->uptime_ >= deadline; }
    void await_suspend(std::coroutine_handle<> handle) {
        clock->waiting_.push_back({deadline, clock->nextOrder_++, handle});
    }
    void await_resume() const noexcept {}
};

QCoro::Task<> ManualClock::sleep(double seconds) {
    if (!(seconds > 0)) co_return;
    co_await Awaiter{this, uptime_ + seconds};
}

void ManualClock::setUptime(double uptime) {
    wall_ += std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(uptime - uptime_));
    uptime_ = uptime;
}

void ManualClock::advance(double seconds) {
    if (!(seconds > 0)) return;
    const double end = uptime_ + seconds;
    // Wake sleepers one at a time in deadline order, each seeing the time it woke at; what a woken
    // coroutine starts (a new sleep within the step) wakes in this same call.
    for (;;) {
        auto next = std::min_element(waiting_.begin(), waiting_.end(), [](const Sleeper& a, const Sleeper& b) {
            return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
        });
        if (next == waiting_.end() || next->deadline > end) break;
        const Sleeper due = *next;
        waiting_.erase(next);
        if (due.deadline > uptime_) setUptime(due.deadline);
        due.handle.resume();
    }
    setUptime(end);
}

} // namespace corvane
