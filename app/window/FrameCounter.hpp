#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace corvane {

// Counts the pictures of the followed window that really changed; the overlay reads and resets the count
// once a second. Pictures arrive on one worker thread (the fingerprint is that thread's alone); take() runs
// on the main thread. The count and the interval's start are shared under one lock.
class FrameCounter final {
public:
    // `now`: seconds of uptime at construction, the start of the first interval.
    explicit FrameCounter(double now) : last_(now) {}

    // One picture, by its fingerprint (none: counted whatever it shows).
    void frame(std::optional<std::uint64_t> fingerprint);
    // Changed pictures per second since the previous take(), rounded; starts a new interval.
    int take(double now);

    // FNV-1a (64-bit) over the first min(width x 4, bytesPerRow) bytes of each row of a BGRA picture.
    static std::uint64_t fingerprint(const std::uint8_t* base, int width, int height, int bytesPerRow);

private:
    std::mutex lock_;
    int count_ = 0;
    double last_;
    std::uint64_t lastFingerprint_ = 0;  // the worker's own
};

}  // namespace corvane
