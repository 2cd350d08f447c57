#include "engine/view/FrameSlot.hpp"

#include <utility>

namespace corvane::stream {

void FrameSlot::put(DecodedFrame frame) {
    // The replaced frames are released after the lock, so a picture's last reference never drops under it.
    std::optional<DecodedFrame> previous;
    std::deque<DecodedFrame> dropped;
    {
        std::lock_guard guard(lock);
        previous = std::exchange(newest, frame);
        if (pacing()) {
            queue.push_back(std::move(frame));
            while (queue.size() > maxQueued) {
                dropped.push_back(std::move(queue.front()));
                queue.pop_front();
            }
        }
    }
    if (onPut_) onPut_();
}

std::optional<DecodedFrame> FrameSlot::next() {
    std::lock_guard guard(lock);
    if (!pacing()) return newest;
    if (queue.empty()) return std::nullopt;
    DecodedFrame frame = std::move(queue.front());
    queue.pop_front();
    return frame;
}

std::optional<DecodedFrame> FrameSlot::peek() const {
    std::lock_guard guard(lock);
    if (!pacing()) return newest;
    if (queue.empty()) return std::nullopt;
    return queue.front();
}

std::optional<DecodedFrame> FrameSlot::take() const {
    std::lock_guard guard(lock);
    return newest;
}

void FrameSlot::clear() {
    std::optional<DecodedFrame> previous;
    std::deque<DecodedFrame> dropped;
    {
        std::lock_guard guard(lock);
        previous = std::exchange(newest, std::nullopt);
        dropped.swap(queue);
    }
}

}  // namespace corvane::stream
