#include "engine/Deadline.hpp"

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace corvane::stream {
namespace {
std::string describe(const std::string& work, double seconds) {
    // Whole seconds, truncated toward zero: 7.9 s reads as 7.
    const double whole = std::trunc(seconds);
    const std::string number = whole < 1e18 ? std::to_string(static_cast<std::uint64_t>(whole)) : "unlimited";
    return work + " did not finish within " + number + " s";
}

// Beyond this the limit is treated as none at all; it is far past anything a caller means.
constexpr double kMaxCountableSeconds = 1e9;
} // namespace

DeadlineExceeded::DeadlineExceeded(std::string work, double seconds)
    : Error(describe(work, seconds)), work(std::move(work)), seconds(seconds) {}

namespace detail {
std::optional<std::chrono::steady_clock::time_point> deadlineFor(double seconds) {
    if (std::isnan(seconds) || seconds < 0)
        throw std::invalid_argument("a deadline must be 0 or more seconds");
    if (seconds > kMaxCountableSeconds) return std::nullopt;
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}
} // namespace detail

} // namespace corvane::stream
