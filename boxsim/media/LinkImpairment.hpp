#pragma once

#include "platform/core/Bytes.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <vector>

namespace corvane::boxsim {

// A bad network between the box and the client, for one stream of datagrams: it drops, duplicates,
// reorders and delays what is submitted, from a seeded generator so a run can be repeated.
// - loss: each datagram is dropped with this chance;
// - duplication: a kept datagram is sent twice, the copy right after it;
// - reordering: a kept datagram is held back and sent right after the next one (or, when none follows,
//   `maxHoldMs` later);
// - delay: everything leaves `delayMs` after it was submitted, in order.
// The caller submits datagrams and sends what `takeDue` hands back; it reads no clock itself.
// Not thread-safe: one sending thread drives it.
class LinkImpairment final {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        double lossPercent = 0;
        double duplicatePercent = 0;
        double reorderPercent = 0;
        double delayMs = 0;
        double maxHoldMs = 50;
        std::uint64_t seed = 1;
        // True when any impairment is on.
        bool active() const { return lossPercent > 0 || duplicatePercent > 0 || reorderPercent > 0 || delayMs > 0; }
        bool operator==(const Options&) const = default;
    };

    struct Stats {
        std::int64_t submitted = 0;
        std::int64_t dropped = 0;     // by the loss setting
        std::int64_t duplicated = 0;
        std::int64_t reordered = 0;
        std::int64_t overflowed = 0;  // dropped because too much was waiting
        bool operator==(const Stats&) const = default;
    };

    // At most this many datagrams wait at once; more are dropped and counted, so a long delay at a high
    // rate cannot take unbounded memory.
    static constexpr std::size_t maxWaiting = 100000;

    explicit LinkImpairment(Options options);

    void submit(Bytes datagram, Clock::time_point now);
    // The datagrams due by `now`, in sending order.
    std::vector<Bytes> takeDue(Clock::time_point now);
    // When the next datagram falls due, or none when nothing waits.
    std::optional<Clock::time_point> nextDue() const;

    const Stats& stats() const { return stats_; }
    const Options& options() const { return options_; }

private:
    struct Waiting {
        Clock::time_point due;
        Bytes datagram;
    };
    bool roll(double percent);
    void enqueue(Bytes datagram, Clock::time_point due);

    Options options_;
    std::mt19937_64 random_;
    std::deque<Waiting> queue_;
    std::optional<Waiting> held_;  // its due time is when it goes out even if nothing follows
    Stats stats_;
};

} // namespace corvane::boxsim
