#include <limits>
#include <QApplication>
#include <QPaintEngine>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>
#include "app/window/FrameCounter.hpp"
#include "app/window/LoadFigure.hpp"
#include "app/window/LatencyProbe.hpp"
#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsHeadline.hpp"
#include "app/window/StatsOverlay.hpp"

namespace corvane {
namespace {

// The overlay's widgets need an application; no screen is drawn to.
void offscreenApp() {
    static int argc = 1;
    static char name[] = "overlay-test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qApp) new QApplication(argc, argv);
}

TEST(FrameCounterTest, CountsPicturesWhoseFnv1aFingerprintChangedPerSecond) {
    FrameCounter counter(100.0);
    for (std::uint64_t fingerprint : {1, 2, 2, 1}) counter.frame(fingerprint);  // A B B A: three changes
    counter.frame(std::nullopt);                                                // unknown: always counted
    counter.frame(std::nullopt);
    EXPECT_EQ(counter.take(102.0), 3);  // 5 frames in 2 s, 2.5 rounds away from zero
    counter.frame(7);
    EXPECT_EQ(counter.take(102.0), 1000);  // at least 1 ms
    EXPECT_EQ(counter.take(103.0), 0);
    // The fingerprint is FNV-1a over each row's pixels.
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

// One rule for a load of the box wherever it shows: a whole percent from 0 up, above 100 too, else "-" over
// no bar.
TEST(LoadFigureTest, ReadsAWholePercentWithinItsRangeElseADashOverAnEmptyBar) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct { double load; const char* text; double fill; } rows[] = {
        {nan, "-", 0}, {inf, "-", 0}, {-inf, "-", 0}, {-0.5, "-", 0}, {-0.49, "0%", 0}, {0, "0%", 0},
        {12.5, "13%", 0.125}, {99.5, "100%", 0.995}, {100.49, "100%", 1.0049}, {100.5, "101%", 1.005},
        {137.4, "137%", 1.374}, {250, "250%", 2.5}, {1e15, "1000000000000000%", 1e13},
        {9.1e18, "9100000000000000000%", 9.1e16}, {9.2e18, "-", 0}, {-5, "-", 0}, {1e300, "-", 0}, {-1e300, "-", 0},
        {std::numeric_limits<double>::max(), "-", 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LoadFigure::text(row.load), row.text) << row.load;
        EXPECT_DOUBLE_EQ(LoadFigure::fill(row.load), row.fill) << row.load;
    }
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

// What the pill and the card say as figures come in, once a second from the engine hooks over a window.
TEST(StatsCardTest, TextsOfThePillAndTheCard) {
    offscreenApp();
    ManualClock clock;
    AppPool pool;
    StatsOverlay overlay(clock, pool);
    const auto texts = [&] {
        return std::vector<std::string>{StatsHeadline::fpsText(overlay), StatsHeadline::latencyText(overlay),
                                        StatsCard::frameRate(overlay), StatsCard::latency(overlay), StatsCard::video(overlay)};
    };
    EXPECT_EQ(texts(), (std::vector<std::string>{"-- FPS", "-- ms", "--", "--", "--"}));
    overlay.needsScreenPermission = true;
    EXPECT_EQ(StatsHeadline::fpsText(overlay), "FPS: allow Screen Recording for Corvane");
    overlay.start(0, StatsOverlay::Position::topRight, true, {2560, 1440, "HEVC", 50, 60, true});
    QWidget window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    overlay.needsScreenPermission = false;
    int fps = 29;
    overlay.engineWindow = &window;
    overlay.engineFPS = [&] { return fps; };
    overlay.engineLatency = [] { return 4.24; };
    clock.advance(0.75);
    EXPECT_FALSE(overlay.fps());  // the whole-second step comes with the 4th tick
    clock.advance(0.25);
    EXPECT_EQ(texts(), (std::vector<std::string>{"29 FPS", "4.2 ms", "29 of 60 FPS", "4.2 ms", "2560 x 1440, HEVC, 50 Mbps, HDR"}));
    // Below half the target, with three values: the still-screen hint; at half, none.
    clock.advance(1.0);
    EXPECT_FALSE(StatsCard::stillScreenHint(overlay));
    clock.advance(1.0);
    EXPECT_TRUE(StatsCard::stillScreenHint(overlay));
    EXPECT_EQ(StatsCard::latency(overlay), "4.2 ms, jitter 0.0 ms");
    fps = 30;
    clock.advance(1.0);
    EXPECT_FALSE(StatsCard::stillScreenHint(overlay));
    // Thirty values at most, the oldest dropped.
    clock.advance(26.0);
    EXPECT_EQ(overlay.fpsHistory().front(), 29);
    clock.advance(3.0);
    EXPECT_EQ(overlay.fpsHistory().size(), 30u);
    EXPECT_EQ(overlay.fpsHistory().front(), 30);
    overlay.stop();
    // The box's load: whole numbers, halves away from zero, a load above 100 too; a figure no number or out of
    // its range is "-".
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct { std::optional<double> gpu; double cpu; std::optional<double> temperature; const char* shown; } rows[] = {
        {40.2, 12.5, 61.0, "GPU 40%, CPU 13%, 61 \u00B0C"}, {std::nullopt, 1e300, std::nullopt, "CPU -"},
        {nan, -0.4, -273.4, "GPU -, CPU 0%, -273 \u00B0C"}, {inf, -0.5, -273.5, "GPU -, CPU -, - \u00B0C"},
        {100.4, 100.5, 1000.4, "GPU 100%, CPU 101%, 1000 \u00B0C"}, {0, 0, 1000.5, "GPU 0%, CPU 0%, - \u00B0C"},
        {250, 137.4, 48.0, "GPU 250%, CPU 137%, 48 \u00B0C"},
    };
    for (const auto& row : rows) {
        overlay.setBoxStatus(AgentClient::BoxStatus{{}, {}, row.cpu, row.gpu, 0, 0, 0, 0, row.temperature, 0});
        EXPECT_EQ(StatsCard::box(overlay), row.shown);
    }
}

// Keeps every text a painter draws, with its font and where it lands; draws nothing else.
class TextRecorder final : public QPaintEngine, public QPaintDevice {
public:
    struct Drawn {
        QString text;
        QFont font;
        QRectF rect;
    };
    std::vector<Drawn> drawn;

    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState&) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
    void drawTextItem(const QPointF& p, const QTextItem& item) override {
        const QPointF at = painter()->transform().map(p);
        const QRectF rect(at.x(), at.y() - item.ascent(), item.width(), item.ascent() + item.descent());
        drawn.push_back({item.text(), item.font(), rect});
    }
    Type type() const override { return User; }
    QPaintEngine* paintEngine() const override { return const_cast<TextRecorder*>(this); }
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
        case PdmWidth: case PdmHeight: return 1000;
        case PdmDpiX: case PdmDpiY: case PdmPhysicalDpiX: case PdmPhysicalDpiY: return 96;
        case PdmDepth: return 32;
        case PdmDevicePixelRatioScaled: return static_cast<int>(devicePixelRatioFScale());
        default: return 1;
        }
    }
};

// The card holds every figure whole at its rows' size, growing past its 260 for the widest; no text of it
// is under 9 points.
TEST(StatsCardTest, EveryFigureWholeAndNoTextUnderNinePoints) {
    offscreenApp();
    ManualClock clock;
    AppPool pool;
    StatsOverlay overlay(clock, pool);
    overlay.start(0, StatsOverlay::Position::topRight, true, {1920, 1080, "auto codec", 49, 60, true});
    overlay.setBoxStatus(AgentClient::BoxStatus{{}, {}, 100, 100, 0, 0, 0, 0, 100, 0});
    const QSizeF card = StatsCard::size(overlay);
    EXPECT_GT(card.width(), StatsCard::width);
    TextRecorder recorder;
    {
        QPainter painter(&recorder);
        StatsCard::paint(painter, overlay);
    }
    QStringList texts;
    for (const auto& drawn : recorder.drawn) {
        texts << drawn.text;
        EXPECT_GE(drawn.font.pixelSize() > 0 ? drawn.font.pixelSize() * 72.0 / 96 : drawn.font.pointSizeF(), 9.0)
            << drawn.text.toStdString();
        EXPECT_LE(drawn.rect.right(), card.width() - StatsCard::padding + 0.5) << drawn.text.toStdString();
        EXPECT_FALSE(drawn.text.contains(QChar(0x2026))) << drawn.text.toStdString();
    }
    EXPECT_TRUE(texts.contains("1920 x 1080, auto codec, 49 Mbps, HDR")) << texts.join(" | ").toStdString();
    EXPECT_TRUE(texts.contains("GPU 100%, CPU 100%, 100 \u00B0C")) << texts.join(" | ").toStdString();
    overlay.stop();
}

}  // namespace
}  // namespace corvane
