#include "engine/audio/AudioPlayer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <thread>

// Counts the allocations a thread makes while it asks for counting: the render path must make none.
namespace {
thread_local bool countAllocations = false;
thread_local int allocations = 0;
} // namespace

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (countAllocations) ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace corvane::stream {
namespace {

// Stereo frames numbered from `first`: both channels of frame k hold k (left) and -k (right).
std::vector<float> numbered(int count, int first = 1) {
    std::vector<float> samples;
    for (int k = first; k < first + count; ++k) {
        samples.push_back(static_cast<float>(k));
        samples.push_back(static_cast<float>(-k));
    }
    return samples;
}

// Renders n frames and gives back the left channel.
std::vector<float> renderLeft(AudioPlayer& player, int n) {
    std::vector<float> out(static_cast<std::size_t>(2 * n), 12345.0f);
    player.render(out.data(), n);
    std::vector<float> left;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(out[2 * i + 1], -out[2 * i]) << "channels out of step at frame " << i;
        left.push_back(out[2 * i]);
    }
    return left;
}

bool silent(const std::vector<float>& v) {
    return std::all_of(v.begin(), v.end(), [](float f) { return f == 0.0f; });
}

class AudioPlayerTest : public ::testing::Test {
protected:
    AudioPlayer player{2, 20, 80};
};

TEST_F(AudioPlayerTest, StaysSilentUntilTheTargetIsBuffered) {
    player.enqueue(numbered(959));
    EXPECT_TRUE(silent(renderLeft(player, 512)));
    EXPECT_EQ(player.stats().bufferedMs, 19); // nothing consumed while priming
    player.enqueue(numbered(1, 960));
    const auto left = renderLeft(player, 512);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(left[i], i + 1);
    EXPECT_EQ(player.stats().bufferedMs, (960 - 512) / 48);
}

TEST_F(AudioPlayerTest, RunningDryPlaysWhatThereIsThenPrimesAgain) {
    player.enqueue(numbered(960));
    renderLeft(player, 512);
    // 448 left: this render gets them and then zeros, one underrun.
    const auto left = renderLeft(player, 512);
    EXPECT_EQ(left[447], 960);
    EXPECT_TRUE(silent(std::vector<float>(left.begin() + 448, left.end())));
    EXPECT_EQ(player.stats().underruns, 1);

    // Priming again: silent and not counted, until 20 ms are back.
    player.enqueue(numbered(900, 2000));
    EXPECT_TRUE(silent(renderLeft(player, 100)));
    EXPECT_EQ(player.stats().underruns, 1);
    player.enqueue(numbered(60, 2900));
    EXPECT_EQ(renderLeft(player, 1)[0], 2000);

    // A render that exactly empties the buffer is no underrun; the next one primes again.
    AudioPlayer exact(2, 20, 80);
    exact.enqueue(numbered(960));
    renderLeft(exact, 960);
    EXPECT_TRUE(silent(renderLeft(exact, 64)));
    EXPECT_EQ(exact.stats().underruns, 0);
    exact.enqueue(numbered(240, 5000));
    EXPECT_TRUE(silent(renderLeft(exact, 64)));
}

TEST_F(AudioPlayerTest, NudgesTheFillLevelByOneFrame) {
    // Playing with 5 ms buffered: the packet is stretched by repeating its last frame.
    player.enqueue(numbered(960));
    renderLeft(player, 720);
    player.enqueue(numbered(240, 3000));
    EXPECT_EQ(player.stats().stretched, 1);
    const auto left = renderLeft(player, 481);
    EXPECT_EQ(left[239], 960);
    EXPECT_EQ(left[479], 3239);
    EXPECT_EQ(left[480], 3239);

    // 50 ms buffered: shortened by its last frame; a two-frame packet never is.
    AudioPlayer full(2, 20, 80);
    full.enqueue(numbered(2400));
    full.enqueue(numbered(240, 5000));
    EXPECT_EQ(full.stats().squeezed, 1);
    EXPECT_EQ(full.stats().bufferedMs, (2400 + 239) / 48);
    full.enqueue(numbered(2, 6000));
    EXPECT_EQ(full.stats().squeezed, 1);
}

TEST_F(AudioPlayerTest, CapDropsTheOldestAudioDownToTheTarget) {
    player.enqueue(numbered(3600));
    player.enqueue(numbered(480, 10000)); // above 40 ms: 479 frames, then 3119 oldest dropped
    const auto stats = player.stats();
    EXPECT_EQ(stats.squeezed, 1);
    EXPECT_EQ(stats.trimmedMs, 64);
    EXPECT_EQ(stats.bufferedMs, 20);
    const auto left = renderLeft(player, 960);
    EXPECT_EQ(left[0], 3600 - 481 + 1 + 0); // the 481 newest old frames survive
    EXPECT_EQ(left[481], 10000);
    EXPECT_EQ(left[959], 10478);

    // More than the ring: only the newest frames up to the cap; half a frame or nothing is harmless.
    AudioPlayer big(2, 20, 80);
    big.enqueue(numbered(60000));
    EXPECT_EQ(big.stats().bufferedMs, 80);
    EXPECT_EQ(renderLeft(big, 1)[0], 60000 - 3840 + 1);
    std::vector<float> ragged = numbered(10);
    ragged.push_back(1.0f);
    big.enqueue(ragged);
    big.enqueue({});
}

TEST_F(AudioPlayerTest, RenderAllocatesNothingAndKeepsFramesWholeAcrossTheRingsEnd) {
    allocations = 0;
    std::vector<float> out(2 * 512);
    auto render = [&](int frames) {
        countAllocations = true;
        player.render(out.data(), frames);
        countAllocations = false;
    };
    render(512);  // priming
    int next = 1;
    for (int i = 0; i < 300; ++i) {  // far more than the ring holds: every frame once, in order
        player.enqueue(numbered(480, 1 + i * 480));
        render(480);
        for (int f = 0; f < 480; ++f) {
            if (out[2 * f] == 0.0f) continue;  // priming
            ASSERT_EQ(out[2 * f], next++) << "round " << i;
            ASSERT_EQ(out[2 * f + 1], -out[2 * f]);
        }
    }
    EXPECT_EQ(player.stats().underruns, 0);
    EXPECT_EQ(player.stats().trimmedMs, 0);
    render(512);  // running dry
    render(512);  // primed again
    EXPECT_EQ(allocations, 0);

    countAllocations = true;  // the counter does see allocations
    auto probe = std::make_unique<int>(1);
    countAllocations = false;
    EXPECT_EQ(allocations, 1);
}

TEST_F(AudioPlayerTest, MediaAndAudioThreadsShareTheRing) {
    std::atomic<bool> done{false};
    std::thread audio([&] {
        std::vector<float> out(1024);
        float last = 0;
        while (!done) {
            player.render(out.data(), 512);
            for (std::size_t i = 0; i < out.size(); i += 2) {
                ASSERT_EQ(out[i + 1], -out[i]);
                if (out[i] != 0.0f) {
                    ASSERT_GE(out[i], last); // never goes back; a stretch repeats a frame
                    last = out[i];
                }
            }
        }
    });
    int next = 1;
    for (int i = 0; i < 5000; ++i) {
        player.enqueue(numbered(240, next));
        next += 240 + 1; // leave room for a repeated last frame
    }
    done = true;
    audio.join();
}

} // namespace
} // namespace corvane::stream
