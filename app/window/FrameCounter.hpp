#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/video/PixelBuffer.hpp"

struct SwsContext;

namespace corvane {

// Counts the pictures of the followed window that really changed; the overlay reads and resets the count
// once a second. Pictures are handed over on the main thread with present() and fingerprinted on the
// counter's own worker, "corvane.fps", from a 128x72 BGRA downscale of the picture in whatever layout the
// decoder gave it (libswscale); at most five wait, more are dropped as a slow capture would drop them. The
// hand-over is a single-producer ring of atomics that the worker drains every few milliseconds (every
// tenth of a second while none come): presenting a picture takes no lock and makes no system call. The
// count and the interval's start are shared under one lock; the fingerprint is the worker's alone. take()
// runs on the main thread.
class FrameCounter final {
public:
    // `now`: seconds of uptime at construction, the start of the first interval. Starts the worker.
    explicit FrameCounter(double now);
    // Stops the worker; pictures still waiting are not counted.
    ~FrameCounter();
    FrameCounter(const FrameCounter&) = delete;
    FrameCounter& operator=(const FrameCounter&) = delete;

    // One presented picture; never blocks on the worker. Main thread (one producer).
    void present(const std::shared_ptr<const platform::PixelBuffer>& picture);
    // One picture, by its fingerprint (none: counted whatever it shows). The worker's (and tests') entry.
    void frame(std::optional<std::uint64_t> fingerprint);
    // Changed pictures per second since the previous take(), rounded; starts a new interval.
    int take(double now);
    // Pictures waiting for the worker and not yet counted (tests wait for 0).
    int pending() const;

    // FNV-1a (64-bit) over the first min(width x 4, bytesPerRow) bytes of each row of a BGRA picture.
    static std::uint64_t fingerprint(const std::uint8_t* base, int width, int height, int bytesPerRow);

    static constexpr int sampleWidth = 128;
    static constexpr int sampleHeight = 72;

private:
    static constexpr std::size_t queueDepth = 5;

    void run(std::stop_token stop);
    // The 128x72 downscale's fingerprint; none when the picture cannot be scaled.
    std::optional<std::uint64_t> sample(const platform::PixelBuffer& picture);

    mutable std::mutex lock_;
    int count_ = 0;
    double last_;
    std::uint64_t lastFingerprint_ = 0;  // the worker's own

    // Waiting pictures: slot n % queueDepth holds picture n for tail_ - head_ pictures. The producer alone
    // moves tail_ (after filling the slot), the worker alone head_ (after emptying it).
    std::array<std::shared_ptr<const platform::PixelBuffer>, queueDepth> queue_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
    std::atomic<bool> busy_{false};  // the worker holds a picture it took from the ring
    std::mutex sleepLock_;           // the worker's alone, for its timed sleep
    std::condition_variable_any wake_;

    // The worker's own.
    SwsContext* scaler_ = nullptr;
    std::vector<std::uint8_t> sampleBytes_;
    std::jthread worker_;
};

}  // namespace corvane
