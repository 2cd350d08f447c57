#include "engine/view/FrameSlot.hpp"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

DecodedFrame frame(std::uint32_t index) {
    DecodedFrame f;
    f.image = platform::PixelBuffer::make(platform::PixelBuffer::Format::bgra, 2, 2);
    f.frameIndex = index;
    return f;
}

TEST(FrameSlot, NewestWinsAndStaysUntilReplaced) {
    FrameSlot slot;
    EXPECT_FALSE(slot.next());
    slot.put(frame(1));
    slot.put(frame(2));
    slot.put(frame(3));
    // Only the third is shown, and it is offered again at the next refresh.
    EXPECT_EQ(slot.next()->frameIndex, 3u);
    EXPECT_EQ(slot.next()->frameIndex, 3u);
    EXPECT_EQ(slot.take()->frameIndex, 3u);
    slot.clear();
    EXPECT_FALSE(slot.take());
    EXPECT_FALSE(slot.next());
}

TEST(FrameSlot, PacingKeepsTheNewestTwoInOrder) {
    FrameSlot slot;
    slot.setPacing(true);
    slot.put(frame(1));
    slot.put(frame(2));
    slot.put(frame(3));
    EXPECT_EQ(slot.next()->frameIndex, 2u);
    EXPECT_EQ(slot.next()->frameIndex, 3u);
    // The queue is empty although a newest frame is still held.
    EXPECT_FALSE(slot.next());
    EXPECT_EQ(slot.take()->frameIndex, 3u);
    slot.put(frame(4));
    slot.clear();
    EXPECT_FALSE(slot.next());
    EXPECT_FALSE(slot.take());
}

TEST(FrameSlot, HoldingAFrameHoldsItsPictureAfterTheSlotLetsGo) {
    FrameSlot slot;
    slot.put(frame(1));
    auto held = slot.next();
    std::weak_ptr<const platform::PixelBuffer> picture = held->image;
    slot.put(frame(2));
    slot.clear();
    EXPECT_FALSE(picture.expired());
    held.reset();
    EXPECT_TRUE(picture.expired());
}

TEST(FrameSlot, ConcurrentPutAndNextSeeOnlyIncreasingFrames) {
    // The decoder puts from its own thread while the display takes; each side sees whole frames in order.
    for (const bool pacing : {false, true}) {
        FrameSlot slot;
        slot.setPacing(pacing);
        constexpr std::uint32_t count = 20000;
        std::thread decoder([&] {
            for (std::uint32_t i = 1; i <= count; ++i) slot.put(frame(i));
        });
        std::uint32_t last = 0;
        bool ordered = true;
        while (last < count) {
            if (auto f = slot.next()) {
                ordered = ordered && f->frameIndex >= last && f->image;
                last = f->frameIndex;
            }
            if (!pacing && slot.take() && slot.take()->frameIndex == count) last = count;
        }
        decoder.join();
        EXPECT_TRUE(ordered) << "pacing " << pacing;
    }
}

}  // namespace
}  // namespace corvane::stream
