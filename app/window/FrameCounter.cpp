#include "app/window/FrameCounter.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

#include <pthread.h>

#include "platform/video/PictureConverter.hpp"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace corvane {

FrameCounter::FrameCounter(double now)
    : last_(now), sampleBytes_(std::size_t(sampleWidth) * sampleHeight * 4) {
    worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

FrameCounter::~FrameCounter() {
    worker_.request_stop();
    if (worker_.joinable()) worker_.join();
    sws_freeContext(scaler_);
}

void FrameCounter::present(const std::shared_ptr<const platform::PixelBuffer>& picture) {
    if (!picture) return;
    const std::size_t tail = tail_.load(std::memory_order_relaxed);
    // The worker is behind: dropped, as a full capture queue would.
    if (tail - head_.load(std::memory_order_acquire) >= queueDepth) return;
    queue_[tail % queueDepth] = picture;
    tail_.store(tail + 1, std::memory_order_release);
}

void FrameCounter::run(std::stop_token stop) {
    pthread_setname_np(pthread_self(), "corvane.fps");
    // Woken by time, not by the producer: a wake-up per picture would cost the main thread a system call.
    // Every 4 ms while pictures come; after a second without any, every 100 ms.
    constexpr auto flowing = std::chrono::milliseconds(4);
    constexpr auto idle = std::chrono::milliseconds(100);
    int emptyPolls = 0;
    while (!stop.stop_requested()) {
        std::size_t head = head_.load(std::memory_order_relaxed);
        emptyPolls = head == tail_.load(std::memory_order_acquire) ? emptyPolls + 1 : 0;
        while (head != tail_.load(std::memory_order_acquire)) {
            busy_.store(true, std::memory_order_relaxed);
            const auto picture = std::move(queue_[head % queueDepth]);
            head_.store(++head, std::memory_order_release);
            frame(sample(*picture));
            busy_.store(false, std::memory_order_release);
            if (stop.stop_requested()) return;
        }
        std::unique_lock guard(sleepLock_);
        wake_.wait_for(guard, stop, emptyPolls > 250 ? idle : flowing, [] { return false; });
    }
}

int FrameCounter::pending() const {
    const std::size_t waiting = tail_.load(std::memory_order_acquire) - head_.load(std::memory_order_acquire);
    return static_cast<int>(waiting) + (busy_.load(std::memory_order_acquire) ? 1 : 0);
}

std::optional<std::uint64_t> FrameCounter::sample(const platform::PixelBuffer& picture) {
    const int count = picture.planeCount();
    if (count < 1 || count > 3 || picture.width() < 1 || picture.height() < 1) return std::nullopt;
    const std::uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    for (int p = 0; p < count; ++p) {
        planes[p] = picture.plane(p).data;
        strides[p] = picture.plane(p).bytesPerRow;
        if (!planes[p]) return std::nullopt;
    }
    // Any of the decoder's layouts, as libswscale knows them ('x420' is P010).
    const auto source = static_cast<AVPixelFormat>(platform::PictureConverter::avPixelFormat(picture.format()));
    scaler_ = sws_getCachedContext(scaler_, picture.width(), picture.height(), source, sampleWidth, sampleHeight,
                                   AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
    if (!scaler_) return std::nullopt;
    std::uint8_t* target[4] = {sampleBytes_.data(), nullptr, nullptr, nullptr};
    const int targetStrides[4] = {sampleWidth * 4, 0, 0, 0};
    if (sws_scale(scaler_, planes, strides, 0, picture.height(), target, targetStrides) != sampleHeight)
        return std::nullopt;
    return fingerprint(sampleBytes_.data(), sampleWidth, sampleHeight, sampleWidth * 4);
}

void FrameCounter::frame(std::optional<std::uint64_t> fingerprint) {
    if (fingerprint) {
        if (*fingerprint == lastFingerprint_) return;  // the picture did not change
        lastFingerprint_ = *fingerprint;
    }
    std::lock_guard guard(lock_);
    ++count_;
}

int FrameCounter::take(double now) {
    std::lock_guard guard(lock_);
    const int frames = count_;
    const double elapsed = now - last_;
    count_ = 0;
    last_ = now;
    return static_cast<int>(std::round(frames / std::max(elapsed, 0.001)));
}

std::uint64_t FrameCounter::fingerprint(const std::uint8_t* base, int width, int height, int bytesPerRow) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    const int rowBytes = std::min(width * 4, bytesPerRow);
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* bytes = base + static_cast<std::ptrdiff_t>(row) * bytesPerRow;
        for (int i = 0; i < rowBytes; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace corvane
