#include "engine/view/FrameSlot.hpp"
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

std::uint32_t indexOf(const std::optional<DecodedFrame>& f) { return f ? f->frameIndex : 0; }

TEST(FrameSlot, NewestWinsOrWithPacingTheNewestTwoInOrder) {
    for (const bool pacing : {false, true}) {
        FrameSlot slot;
        slot.setPacing(pacing);
        EXPECT_FALSE(slot.next());
        for (std::uint32_t i = 1; i <= 3; ++i) slot.put(frame(i));
        // Without pacing the newest is offered again at every refresh; with it, 2 then 3, then nothing queued.
        // A look ahead sees what comes next and leaves it there.
        EXPECT_EQ(indexOf(slot.peek()), pacing ? 2u : 3u);
        EXPECT_EQ(indexOf(slot.next()), pacing ? 2u : 3u);
        EXPECT_EQ(indexOf(slot.peek()), 3u);
        EXPECT_EQ(indexOf(slot.peek()), 3u);
        EXPECT_EQ(indexOf(slot.next()), 3u);
        EXPECT_EQ(indexOf(slot.peek()), pacing ? 0u : 3u);
        EXPECT_EQ(indexOf(slot.next()), pacing ? 0u : 3u);
        EXPECT_EQ(indexOf(slot.take()), 3u);
        slot.put(frame(4));
        slot.clear();
        EXPECT_FALSE(slot.next());
        EXPECT_FALSE(slot.take());
    }
    // A frame held by the display keeps its picture after the slot lets go.
    FrameSlot slot;
    slot.put(frame(1));
    auto held = slot.next();
    ASSERT_TRUE(held);
    std::weak_ptr<const platform::PixelBuffer> picture = held->image;
    slot.put(frame(2));
    slot.clear();
    EXPECT_FALSE(picture.expired());
    held.reset();
    EXPECT_TRUE(picture.expired());
}

TEST(FrameSlot, ConcurrentPutAndNextSeeOnlyIncreasingWholeFrames) {
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
            if (!pacing && indexOf(slot.take()) == count) last = count;
        }
        decoder.join();
        EXPECT_TRUE(ordered) << "pacing " << pacing;
    }
}

}  // namespace
}  // namespace corvane::stream
