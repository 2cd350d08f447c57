#pragma once

#include "platform/core/Error.hpp"

#include <chrono>
#include <cstdint>

struct sd_bus;

namespace corvane::platform {

// The desktop's RealtimeKit service (org.freedesktop.RealtimeKit1 at /org/freedesktop/RealtimeKit1 on the
// system bus), which grants real-time scheduling and raised priorities to the threads of processes that
// may not take them themselves. The bus is the one DBUS_SYSTEM_BUS_ADDRESS names, else the usual socket.
//
// One connection per object, made by the constructor. Everything, the connection's set-up included, ends
// by the deadline given: a bus that accepts and then never answers costs no more than that. Threads: one
// object is used on one thread.
class RealtimeKit final {
public:
    using Clock = std::chrono::steady_clock;

    // The most the service grants, read from its properties.
    struct Limits {
        std::int64_t maxRealtimePriority = 0;
        std::int64_t rtTimeUSecMax = 0;  // the process's RLIMIT_RTTIME must be at most this, soft and hard
        std::int64_t minNiceLevel = 0;
        bool operator==(const Limits&) const = default;
    };

    // No bus, a bus that did not answer in time, or the service's own refusal (its text and error name).
    class Error final : public corvane::Error {
    public:
        using corvane::Error::Error;
    };

    // Throws Error when no system bus is there or it has not let us in by `deadline`.
    explicit RealtimeKit(Clock::time_point deadline);
    ~RealtimeKit();
    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    // Throws Error when the service is not there or does not answer.
    Limits limits();
    // `thread` is the kernel's thread id; the thread must belong to this process.
    void makeThreadRealtime(std::uint64_t thread, std::uint32_t priority);
    void makeThreadHighPriority(std::uint64_t thread, std::int32_t niceLevel);

private:
    std::int64_t property(const char* name);
    void close();
    // Microseconds left before the deadline; throws Error when none.
    std::uint64_t remaining() const;

    const Clock::time_point deadline_;
    sd_bus* bus_ = nullptr;
};

} // namespace corvane::platform
