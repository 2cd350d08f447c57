#include <gtest/gtest.h>
#include "app/window/FrameCounter.hpp"
#include "app/window/LatencyProbe.hpp"
#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsOverlay.hpp"

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

TEST(OverlayStyleTest, FrameRateColourAndLatencyFormat) {
    const QColor green(52, 199, 89), yellow(255, 204, 0), orange(255, 149, 0);
    struct Row { std::optional<int> fps; int target; QColor colour; };
    const Row rows[] = {{54, 60, green}, {89, 100, yellow}, {30, 60, yellow}, {29, 60, orange},
                        {1, 0, green}, {0, 0, orange}, {std::nullopt, 60, QColor(255, 255, 255, 128)}};
    for (const Row& row : rows) EXPECT_EQ(OverlayStyle::fpsColor(row.fps, row.target), row.colour) << row.fps.value_or(-1);
    EXPECT_EQ(OverlayStyle::latencyText(9.94), "9.9 ms");
    EXPECT_EQ(OverlayStyle::latencyText(10), "10 ms");
}

TEST(StatsOverlayTest, PlacementAtTheTopEdge) {
    using Position = StatsOverlay::Position;
    const std::vector<QRectF> screen{QRectF(0, 0, 1440, 900)};
    const QSizeF pill(100, 30);
    struct Row { const char* name; QRectF bounds; Position position; std::vector<QRectF> screens; QRectF frame; };
    const Row rows[] = {
        {"right, 40 below the top", {100, 50, 800, 600}, Position::topRight, screen, {788, 780, 100, 30}},
        {"centre, half away from zero", {100.5, 50, 800, 600}, Position::topCenter, screen, {451, 780, 100, 30}},
        {"full screen within 1.9", {0, 0, 1438.1, 901.9}, Position::topLeft, screen, {12, 858, 100, 30}},
        {"2 off is a window", {0, 0, 1438, 900}, Position::topLeft, screen, {12, 830, 100, 30}},
        {"no screens: the window's own bottom", {100, 50, 800, 600}, Position::topLeft, {}, {112, 530, 100, 30}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(StatsOverlay::placement(pill, row.bounds, row.position, row.screens), row.frame) << row.name;
}

}  // namespace
}  // namespace corvane
