#include "app/window/LatencyProbe.hpp"

#include <chrono>
#include <cmath>
#include <numeric>

#include "app/services/OnPool.hpp"
#include "platform/net/TcpConnection.hpp"

namespace corvane {

QCoro::Task<std::optional<double>> LatencyProbe::roundTrip(AppPool& pool, const std::string& host, std::uint16_t port,
                                                           double timeout) {
    const auto probe = [host, port, timeout](std::stop_token token) -> std::optional<double> {
        const auto start = std::chrono::steady_clock::now();
        try {
            platform::TcpConnection connection;
            connection.connect(host, port, timeout, token);
        } catch (const std::exception&) {
            return std::nullopt;
        }
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    co_return co_await onPool(pool, probe);
}

void LatencySamples::add(double ms) {
    if (samples.size() >= 10) samples.pop_front();
    samples.push_back(ms);
}

void LatencySamples::addProbe(double ms) {
    add(ms);
    const std::size_t n = std::min<std::size_t>(5, samples.size());
    latencyMs = std::accumulate(samples.end() - static_cast<std::ptrdiff_t>(n), samples.end(), 0.0) / double(n);
    updateJitter();
}

void LatencySamples::addEngine(double ms) {
    add(ms);
    latencyMs = ms;
    updateJitter();
}

void LatencySamples::updateJitter() {
    const std::size_t n = samples.size();
    if (n < 3) {
        jitterMs.reset();
        return;
    }
    const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / double(n);
    double deviation = 0;
    for (double value : samples) deviation += std::abs(value - mean);
    jitterMs = deviation / double(n);
}

}  // namespace corvane
