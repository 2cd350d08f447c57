#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "engine/video/DecodedFrame.hpp"

namespace corvane::stream {

// The hand-over of decoded pictures from the decoder's output thread to the display. `put` runs on the
// decoder's thread, the rest on the display's threads; the lock is held only to copy or swap frames.
// Newest-wins by default; with pacing on, up to two frames wait in order so each refresh shows the next.
class FrameSlot final {
public:
    FrameSlot() = default;
    FrameSlot(const FrameSlot&) = delete;
    FrameSlot& operator=(const FrameSlot&) = delete;

    void put(DecodedFrame frame);
    // The frame to show at this refresh: the newest (kept for the next refresh too), or with pacing the
    // oldest queued one (removed).
    std::optional<DecodedFrame> next();
    // The newest frame, left in place.
    std::optional<DecodedFrame> take() const;
    // The frame next() would give now, left in place.
    std::optional<DecodedFrame> peek() const;
    void clear();

    // Set before frames flow; atomic so that a late change is still no data race.
    bool pacing() const { return pacing_.load(std::memory_order_relaxed); }
    void setPacing(bool on) { pacing_.store(on, std::memory_order_relaxed); }

    // Called after every put, on the putting thread and outside the lock: the display side learns of a new
    // frame as it arrives. Set once by the slot's owner, before frames flow; it must not block.
    void setOnPut(std::function<void()> hook) { onPut_ = std::move(hook); }

private:
    static constexpr std::size_t maxQueued = 2;

    mutable std::mutex lock;
    std::optional<DecodedFrame> newest;
    std::deque<DecodedFrame> queue;
    std::atomic<bool> pacing_{false};
    std::function<void()> onPut_;
};

}  // namespace corvane::stream
