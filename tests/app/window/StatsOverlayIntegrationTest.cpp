// The performance overlay over a live stream on the shared display: its pill and card at each position,
// colours sampled from the screen, figures from the view and pipelines, and the frame counter fed with the
// pictures the view presents.
#include "app/window/StatsOverlay.hpp"
#include <filesystem>
#include <fstream>
#include <QScreen>
#include <unistd.h>
#include "app/window/OverlayStyle.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsHeadline.hpp"
#include "tests/app/window/StreamWindowFixture.hpp"

namespace corvane {
namespace {

using Position = StatsOverlay::Position;

class StatsOverlayIntegrationTest : public test::StreamWindowIntegrationTest {
protected:
    void TearDown() override {
        overlay.stop();
        StreamWindow::ownWindow = nullptr;
        StreamWindowIntegrationTest::TearDown();
    }
    // The screen once the panel has been drawn.
    static QImage screen() {
        QTest::qWait(300);
        return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    }
    QRect panelOnScreen() const {
        const QWidget* panel = overlay.panel();
        return QRect(panel->mapToGlobal(QPoint(0, 0)), panel->size());
    }
    ManualClock clock;
    StatsOverlay overlay{clock, pool};
    const StatsOverlay::StreamInfo info{640, 360, "H.264", 20, 30, false};
};

// Of the colours the rule gives, the one a pixel is nearest to, and how near (sum of channel differences).
std::pair<QColor, int> nearestRuleColour(QColor pixel) {
    std::pair<QColor, int> best{QColor(), INT_MAX};
    for (const QColor& colour : {OverlayStyle::fpsColor(60, 60), OverlayStyle::fpsColor(40, 60), OverlayStyle::fpsColor(1, 60)}) {
        const int distance = std::abs(pixel.red() - colour.red()) + std::abs(pixel.green() - colour.green()) +
                             std::abs(pixel.blue() - colour.blue());
        if (distance < best.second) best = {colour, distance};
    }
    return best;
}

TEST_F(StatsOverlayIntegrationTest, PillAndCardAtEachPositionOverALossyStream) {
    openStream(true, [](boxsim::Box::Options& options) { options.media.videoLink.lossPercent = 15; });
    ASSERT_TRUE(waitForPictures());
    // As the box controller drives it.
    overlay.start(0, Position::topRight, false, info);
    overlay.engineWindow = stream->window();
    overlay.engineFPS = [this]() -> std::optional<int> { return stream->view()->shownFPS(); };
    overlay.engineLatency = [this] { return stream->endToEndMs(); };
    AgentClient::BoxStatus load;
    load.cpuPercent = 12.5, load.gpuPercent = 40.2, load.temperatureC = 61.0;
    overlay.setBoxStatus(load);
    const QRect window = stream->window()->frameGeometry();
    for (const bool detailed : {false, true}) {
        for (const Position position : {Position::topLeft, Position::topCenter, Position::topRight}) {
            SCOPED_TRACE(std::string(detailed ? "card " : "pill ") + std::to_string(int(position)));
            overlay.update(position, detailed, info);
            clock.advance(1.0);  // the whole-second step; the view's figures are still those it read
            const int fps = stream->view()->shownFPS();
            const auto latency = stream->endToEndMs();
            const QImage shown = screen();
            if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"))
                shown.save(QString("%1/overlay-%2-%3.png").arg(keep, detailed ? "card" : "pill").arg(int(position)));
            ASSERT_TRUE(overlay.panel() && overlay.panel()->isVisible());
            const QRect panel = panelOnScreen();
            EXPECT_EQ(panel.top(), window.top() + 40);
            const double left = position == Position::topLeft    ? window.left() + 12
                                : position == Position::topRight ? window.left() + window.width() - 12 - panel.width()
                                                                 : window.left() + (window.width() - panel.width()) / 2.0;
            EXPECT_NEAR(panel.left(), left, 0.5);
            // The dot's colour follows the rule for the figure shown.
            const double inset = detailed ? StatsCard::padding : 12;
            const QPointF dot = QPointF(panel.topLeft()) + QPointF(inset, detailed ? inset : 6) +
                                StatsHeadline::dotCentre(overlay);
            EXPECT_EQ(shown.pixelColor(dot.toPoint()), OverlayStyle::fpsColor(overlay.fps(), 30))
                << "fps " << overlay.fps().value_or(-1);
            // The card's figures are the view's and the pipelines'.
            EXPECT_EQ(StatsCard::frameRate(overlay), std::to_string(fps) + " of 30 FPS");
            const auto video = stream->pipeline()->stats();
            EXPECT_EQ(StatsCard::video(overlay),
                      std::to_string(video.width) + " x " + std::to_string(video.height) + ", H.264, 20 Mbps");
            EXPECT_EQ(StatsCard::box(overlay), "GPU 40%, CPU 13%, 61 \u00B0C");
            if (latency) {
                EXPECT_EQ(overlay.latencyMs(), latency);
            }
            if (!detailed || overlay.fpsHistory().size() < 2) continue;
            // The graph's newest stretch is drawn in the newest figure's colour: the pixel of the column just
            // left of the graph's right edge that comes nearest to one of the rule's colours is that one.
            const QRectF graph = StatsCard::graphRect(overlay).translated(panel.topLeft());
            std::pair<QColor, int> curve{QColor(), INT_MAX};
            for (int y = int(graph.top()); y <= int(graph.bottom()); ++y) {
                const auto nearest = nearestRuleColour(shown.pixelColor(int(graph.right()) - 2, y));
                if (nearest.second < curve.second) curve = nearest;
            }
            EXPECT_LT(curve.second, 60);
            EXPECT_EQ(curve.first, OverlayStyle::fpsColor(overlay.fpsHistory().back(), 30));
        }
    }
    // The loss reached the picture.
    EXPECT_GT(stream->pipeline()->stats().framesLost, 0);
}

TEST_F(StatsOverlayIntegrationTest, WithoutHooksTheFrameCounterCountsThePresentedPictures) {
    openStream(true);
    ASSERT_TRUE(waitForPictures());
    StreamWindow::ownWindow = [this] { return stream->streamWindowInfo(); };
    overlay.start(static_cast<std::int32_t>(::getpid()), Position::topLeft, false, info);
    clock.advance(0.25);  // the first tick finds the window and starts counting its pictures
    auto* view = stream->view();
    ASSERT_TRUE(view->onPresented);
    const int before = view->shownTotal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->shownTotal() >= before + 15; }, 10000));
    view->stop();
    const int presented = view->shownTotal() - before;
    ASSERT_TRUE(QTest::qWaitFor([&] { return overlay.counter().pending() == 0; }, 5000));
    bool named = false;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        named = named || name == "corvane.fps";
    }
    EXPECT_TRUE(named);
    clock.advance(0.75);  // the whole-second step, 0.75 s after counting began
    EXPECT_EQ(overlay.fps(), static_cast<int>(std::lround(presented / 0.75)));
    EXPECT_TRUE(overlay.panel()->isVisible());
    overlay.stop();
    EXPECT_FALSE(view->onPresented);
}

}  // namespace
}  // namespace corvane
