#include "app/window/FrameCounter.hpp"

#include <algorithm>
#include <cmath>

namespace corvane {

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
