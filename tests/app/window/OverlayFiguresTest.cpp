#include <gtest/gtest.h>
#include "app/window/FrameCounter.hpp"
#include "app/window/LatencyProbe.hpp"

namespace corvane {
namespace {

TEST(FrameCounterTest, CountsChangedPicturesPerSecond) {
    FrameCounter counter(100.0);
    for (std::uint64_t fingerprint : {1, 2, 2, 1}) counter.frame(fingerprint);  // A B B A: three changes
    counter.frame(std::nullopt);                                                // unknown: always counted
    counter.frame(std::nullopt);
    EXPECT_EQ(counter.take(102.0), 3);  // 5 frames in 2 s, 2.5 rounds away from zero
    counter.frame(7);
    EXPECT_EQ(counter.take(102.0), 1000);  // at least 1 ms
    EXPECT_EQ(counter.take(103.0), 0);
}

TEST(FrameCounterTest, FingerprintIsFnv1aOverEachRowsPixels) {
    EXPECT_EQ(FrameCounter::fingerprint(nullptr, 128, 0, 512), 0xcbf29ce484222325ULL);
    // One BGRA pixel "a" "b" "c" "d", then padding the hash must not see.
    const std::uint8_t row[8] = {'a', 'b', 'c', 'd', 9, 9, 9, 9};
    std::uint64_t expected = 0xcbf29ce484222325ULL;
    for (char c : std::string("abcd")) expected = (expected ^ std::uint8_t(c)) * 0x100000001b3ULL;
    EXPECT_EQ(FrameCounter::fingerprint(row, 1, 1, 8), expected);
    EXPECT_EQ(expected, 0xfc179f83ee0724ddULL);  // FNV-1a 64 of "abcd"
}

TEST(LatencySamplesTest, ProbeAndEngineRules) {
    LatencySamples probe;
    probe.addProbe(10);
    probe.addProbe(10);
    EXPECT_EQ(probe.latencyMs, 10.0);
    EXPECT_FALSE(probe.jitterMs);  // fewer than three samples
    for (double ms : {10.0, 10.0, 40.0}) probe.addProbe(ms);
    EXPECT_DOUBLE_EQ(*probe.latencyMs, 16.0);
    EXPECT_DOUBLE_EQ(*probe.jitterMs, 9.6);
    LatencySamples engine;
    for (double ms : {10.0, 10.0, 10.0, 10.0, 40.0}) engine.addEngine(ms);
    EXPECT_DOUBLE_EQ(*engine.latencyMs, 40.0);
    EXPECT_DOUBLE_EQ(*engine.jitterMs, 9.6);
    // The eleventh sample drops the oldest.
    LatencySamples window;
    window.addProbe(1000);
    for (int i = 0; i < 10; ++i) window.addProbe(10);
    EXPECT_EQ(window.samples.size(), 10u);
    EXPECT_DOUBLE_EQ(*window.jitterMs, 0.0);
}

}  // namespace
}  // namespace corvane
