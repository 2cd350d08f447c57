// The performance overlay over a live stream on the shared display: its pill and card at each position,
// colours sampled from the screen, figures from the view and pipelines, and the frame counter fed with the
// pictures the view presents.
#include "app/window/StatsOverlay.hpp"
#include <QScreen>
#include <unistd.h>
#include <chrono>
#include <memory>
#include <thread>
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
        clock.advance(1.0);  // the stopped timer's last sleep ends
        StreamWindow::ownWindow = nullptr;
        StreamWindowIntegrationTest::TearDown();
    }
    ManualClock clock;
    StatsOverlay overlay{clock, pool};
    const StatsOverlay::StreamInfo info{640, 360, "H.264", 20, 30, false};
};

// A latency probe that answers `ms` half a second later on the overlay's clock.
QCoro::Task<std::optional<double>> answerLater(Clock& clock, double ms) {
    co_await clock.sleep(0.5);
    co_return ms;
}

// How far a pixel is from a colour (sum of channel differences).
int distance(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
}

TEST_F(StatsOverlayIntegrationTest, PillAndCardAtEachPositionOverALossyStream) {
    openStream(true, [](boxsim::Box::Options& options) { options.media.videoLink.lossPercent = 15; });
    ASSERT_TRUE(waitForPictures());
    // As the box controller drives it.
    overlay.start(0, Position::topRight, false, info);
    overlay.engineWindow = stream->window();
    overlay.engineFPS = [this]() -> std::optional<int> { return stream->view()->shownFPS(); };
    overlay.engineLatency = [this] { return stream->endToEndMs(); };
    const QRect window = stream->window()->frameGeometry();
    for (const bool detailed : {false, true}) {
        for (const Position position : {Position::topLeft, Position::topCenter, Position::topRight}) {
            SCOPED_TRACE(std::string(detailed ? "card " : "pill ") + std::to_string(int(position)));
            overlay.update(position, detailed, info);
            clock.advance(1.0);  // the whole-second step; the view's figures are still those it read
            const int fps = stream->view()->shownFPS();
            const auto latency = stream->endToEndMs();
            // The dot's colour follows the rule for the figure shown: wait until the X server shows the panel
            // painted (a loaded machine shows it late).
            QImage shown;
            QRect panel;
            QPointF dot;
            EXPECT_TRUE(QTest::qWaitFor([&] {
                if (!overlay.panel() || !overlay.panel()->isVisible()) return false;
                panel = QRect(overlay.panel()->mapToGlobal(QPoint(0, 0)), overlay.panel()->size());
                dot = QPointF(panel.topLeft()) + QPointF(12, detailed ? 12 : 6) + StatsHeadline::dotCentre(overlay);
                shown = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
                return shown.pixelColor(dot.toPoint()) == OverlayStyle::fpsColor(fps, 30);
            }, 15000)) << "fps " << fps << ", dot " << shown.pixelColor(dot.toPoint()).name().toStdString();
            if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"))
                shown.save(QString("%1/overlay-%2-%3.png").arg(keep, detailed ? "card" : "pill").arg(int(position)));
            ASSERT_TRUE(overlay.panel());
            ASSERT_TRUE(overlay.panel()->isVisible());
            EXPECT_EQ(panel.top(), window.top() + 40);
            const double left = position == Position::topLeft    ? window.left() + 12
                                : position == Position::topRight ? window.left() + window.width() - 12 - panel.width()
                                                                 : window.left() + (window.width() - panel.width()) / 2.0;
            EXPECT_NEAR(panel.left(), left, 0.5);
            // The card's figures are the view's and the pipelines'.
            const auto video = stream->pipeline()->stats();
            EXPECT_EQ(StatsCard::frameRate(overlay), std::to_string(fps) + " of 30 FPS");
            EXPECT_EQ(StatsCard::video(overlay), QString("%1 x %2, H.264, 20 Mbps").arg(video.width).arg(video.height).toStdString());
            ASSERT_TRUE(latency);
            EXPECT_EQ(overlay.latencyMs(), latency);
            if (!detailed || overlay.fpsHistory().size() < 2) continue;
            // The graph's newest stretch: of the column just left of its right edge, the pixel nearest to any of
            // the rule's colours is nearest to the newest figure's.
            const QRectF graph = StatsCard::graphRect(overlay).translated(panel.topLeft());
            const QColor rule[] = {OverlayStyle::fpsColor(30, 30), OverlayStyle::fpsColor(15, 30), OverlayStyle::fpsColor(1, 30)};
            std::pair<int, QColor> nearest{INT_MAX, QColor()};
            for (int y = int(graph.top()); y <= int(graph.bottom()); ++y)
                for (const QColor& colour : rule)
                    if (const int d = distance(shown.pixelColor(int(graph.right()) - 2, y), colour); d < nearest.first)
                        nearest = {d, colour};
            EXPECT_LT(nearest.first, 60);
            EXPECT_EQ(nearest.second, OverlayStyle::fpsColor(overlay.fpsHistory().back(), 30));
        }
    }
    EXPECT_GT(stream->pipeline()->stats().framesLost, 0);  // the loss reached the picture
    // The panel is a window of its own over the picture, yet the pointer over it is over the stream view
    // beneath: it stays hidden there, and a click reaches the view.
    const QPoint middle = overlay.panel()->mapToGlobal(overlay.panel()->rect().center());
    const auto pointer = [](QPoint at, const char* then = "") {
        test::runCommand("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + then);
    };
    pointer(middle + QPoint(0, overlay.panel()->height()));
    ASSERT_TRUE(QTest::qWaitFor([this] { return stream->view()->inputState.macPointerHidden; }, 5000));
    pointer(middle, " click 1");
    EXPECT_TRUE(QTest::qWaitFor([this] { return stream->view()->inputState.firstClickLogged; }, 5000));
    EXPECT_TRUE(stream->view()->inputState.macPointerHidden);
}

TEST_F(StatsOverlayIntegrationTest, WithoutHooksTheFrameCounterCountsThePresentedPictures) {
    openStream(true);
    ASSERT_TRUE(waitForPictures());
    StreamWindow::ownWindow = [this] { return stream->streamWindowInfo(); };
    overlay.latencyProbe = [this] { return answerLater(clock, 7.0); };
    overlay.start(static_cast<std::int32_t>(::getpid()), Position::topLeft, false, info);
    clock.advance(0.25);  // the first tick finds the window and starts counting its pictures
    auto* view = stream->view();
    ASSERT_TRUE(view->onPresented);
    // On a busy computer the view hands over some frames without their pictures (its main thread fell behind),
    // and the counter's worker may fall five pictures behind and drop, as a slow capture would: neither is
    // what this counts. So each frame is told apart here, and each picture waits until the worker has it.
    struct Handed {
        int pictures = 0;
        int bare = 0;
    };
    const auto handed = std::make_shared<Handed>();  // the hook may outlive this body when an assertion ends it
    view->onPresented = [this, handed, counted = view->onPresented](const stream::DecodedFrame& frame) {
        counted(frame);
        if (!frame.image) {
            ++handed->bare;
            return;
        }
        ++handed->pictures;
        for (int waited = 0; overlay.counter().pending() > 0 && waited < 5000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    const int& pictures = handed->pictures;
    const int& bare = handed->bare;
    const int before = view->shownTotal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->shownTotal() >= before + 15; }, 10000));
    view->stop();
    const int presented = view->shownTotal() - before;
    EXPECT_EQ(pictures + bare, presented);  // every frame presented is handed on once
    ASSERT_GT(pictures, 0);
    EXPECT_EQ(overlay.counter().pending(), 0);
    EXPECT_EQ(test::threadsNamed("corvane.fps"), 1u);
    clock.advance(0.75);  // the whole-second step, 0.75 s after counting began; a probe starts
    EXPECT_EQ(overlay.fps(), static_cast<int>(std::lround(pictures / 0.75)));
    EXPECT_TRUE(overlay.panel()->isVisible());
    EXPECT_FALSE(overlay.latencyMs());
    clock.advance(0.5);  // its answer
    EXPECT_EQ(overlay.latencyMs(), 7.0);
    clock.advance(0.5);  // another probe, answering only after the stop: dropped
    overlay.stop();
    EXPECT_FALSE(view->onPresented);
    clock.advance(0.5);
    EXPECT_EQ(overlay.latencyMs(), 7.0);
}

}  // namespace
}  // namespace corvane
