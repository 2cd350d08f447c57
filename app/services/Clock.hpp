#pragma once

#include <QObject>
#include <QCoroTask>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <vector>

namespace corvane {

// The one clock every timer, loop and wait of the application uses, so that tests can step through
// 1 s loops, 20 s thresholds and six-hour repeats in milliseconds. Uptime measures intervals (a change
// of the wall clock never stalls or fires them); wall time is only for what is shown or stored as a date.
// Main thread only.
class Clock : public QObject {
    Q_OBJECT
public:
    using WallTime = std::chrono::system_clock::time_point;

    // Seconds since some fixed point; never goes back.
    virtual double uptime() const = 0;
    virtual WallTime wallTime() const = 0;
    // Resumes on the main thread once `seconds` of uptime have passed (at once for 0 or less).
    virtual QCoro::Task<> sleep(double seconds) = 0;

    // The real clock: steady_clock, system_clock and Qt timers.
    static Clock& system();

protected:
    using QObject::QObject;
};

// A clock that moves only when told: advance() wakes, in deadline order, every sleep whose time came.
class ManualClock final : public Clock {
    Q_OBJECT
public:
    explicit ManualClock(double uptime = 1000, WallTime wall = WallTime{std::chrono::seconds(1796580000)});

    double uptime() const override { return uptime_; }
    WallTime wallTime() const override { return wall_; }
    QCoro::Task<> sleep(double seconds) override;

    // Moves both clocks forward; sleepers resume (on this thread, before it returns) as their time comes.
    void advance(double seconds);
    // Moves only the wall clock, as a user or NTP would (uptime is untouched).
    void setWallTime(WallTime wall) { wall_ = wall; }
    // How many sleeps are waiting now.
    int sleepers() const { return static_cast<int>(waiting_.size()); }

private:
    struct Sleeper {
        double deadline;
        std::uint64_t order;
        std::coroutine_handle<> handle;
    };
    struct Awaiter;
    void setUptime(double uptime);

    double uptime_;
    WallTime wall_;
    std::uint64_t nextOrder_ = 0;
    std::vector<Sleeper> waiting_;
};

} // namespace corvane
