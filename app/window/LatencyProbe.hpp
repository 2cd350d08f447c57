#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include <qcoro/qcorotask.h>

#include "app/services/AppPool.hpp"

namespace corvane {

// The overlay's latency figures: the time to open a TCP connection to the box agent, and the rules that
// turn samples into a latency and a jitter.
namespace LatencyProbe {

// Milliseconds from starting a TCP connection until it is up, or none when it fails or takes longer than
// `timeout` seconds (whichever comes first wins). Runs on the pool; resumes on the caller's thread.
QCoro::Task<std::optional<double>> roundTrip(AppPool& pool, const std::string& host, std::uint16_t port, double timeout);

}  // namespace LatencyProbe

// The last ten samples, oldest first, and what they give. Main thread.
struct LatencySamples {
    std::deque<double> samples;
    std::optional<double> latencyMs;
    std::optional<double> jitterMs;

    // A probe result: latency is the mean of the newest five (or fewer).
    void addProbe(double ms);
    // An engine estimate: latency is the value itself.
    void addEngine(double ms);

private:
    void add(double ms);
    void updateJitter();
};

}  // namespace corvane
