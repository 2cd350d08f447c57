// Every panel over a live stream, read off the screen as a person sees it: the start cover, the transfer
// panel of a receive that runs, the capture hint and the overlay's card, each on a background of its own
// with its text standing out at least 4.5:1 from it, at its place over the moving picture; on a desktop
// without a compositor and with one.
#include <algorithm>
#include <cmath>
#include <map>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <unistd.h>
#include "app/sharing/SharingManager.hpp"
#include "app/window/StartView.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "tests/app/window/StreamWindowFixture.hpp"
#include "tests/support/ChildProcesses.hpp"

namespace corvane {
namespace {

// Relative luminance of a screen colour (sRGB).
double luminance(QColor colour) {
    const auto linear = [](int value) {
        const double v = value / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(colour.red()) + 0.7152 * linear(colour.green()) + 0.0722 * linear(colour.blue());
}

double contrast(QColor a, QColor b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

int distance(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
}

// How a panel reads in a grab of the screen. Its background is the colour most of it shows (a picture
// showing through, or a stale copy of it, is no one colour); its text is what stands out from that
// background at 4.5:1 or more.
struct Reading {
    QColor background;
    double backgroundShare = 0;  // of the panel's pixels, those of its background colour
    int textWidth = 0;           // from the first to the last column of the text rectangle that stands out
    double bestContrast = 1;
    bool readable(int width) const { return backgroundShare >= 0.5 && textWidth >= 0.8 * width && bestContrast >= 4.5; }
};

std::ostream& operator<<(std::ostream& out, const Reading& r) {
    return out << "background " << r.background.name().toStdString() << " on " << r.backgroundShare * 100
               << "% of the panel, text " << r.textWidth << " px wide, best contrast " << r.bestContrast;
}

Reading read(const QImage& screen, const QRect& panel, const QRect& text) {
    Reading reading;
    std::map<QRgb, int> counts;
    const QRect inside = panel & screen.rect();
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x) ++counts[screen.pixel(x, y) | 0xFF000000];
    if (counts.empty()) return reading;
    const QRgb most = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    int near = 0;
    for (const auto& [colour, count] : counts)
        if (distance(colour, most) <= 12) near += count;
    reading.background = QColor(most);
    reading.backgroundShare = double(near) / (inside.width() * inside.height());
    int first = INT_MAX, last = INT_MIN;
    for (int y = text.top(); y <= text.bottom(); ++y)
        for (int x = text.left(); x <= text.right(); ++x) {
            if (!inside.contains(x, y)) continue;
            const double c = contrast(screen.pixelColor(x, y), reading.background);
            reading.bestContrast = std::max(reading.bestContrast, c);
            if (c >= 4.5) first = std::min(first, x), last = std::max(last, x);
        }
    if (first <= last) reading.textWidth = last - first + 1;
    return reading;
}

// Whether a compositing manager runs on the display: it holds the selection of the screen.
bool compositing() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    const bool held = XGetSelectionOwner(display, XInternAtom(display, "_NET_WM_CM_S0", 0)) != 0;
    XCloseDisplay(display);
    return held;
}

// The depth of an X window's visual; 0 when it cannot be read.
int depthOf(WId window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 0;
    XWindowAttributes attributes{};
    const int depth = XGetWindowAttributes(display, window, &attributes) ? attributes.depth : 0;
    XCloseDisplay(display);
    return depth;
}

QRect onScreen(const QWidget& widget) { return QRect(widget.mapToGlobal(QPoint(0, 0)), widget.size()); }

// The label of `panel` (or the panel itself) that says `text`.
QLabel* labelSaying(QWidget* panel, const QString& text) {
    if (auto* itself = qobject_cast<QLabel*>(panel); itself && itself->text() == text) return itself;
    for (auto* label : panel->findChildren<QLabel*>())
        if (label->text() == text) return label;
    return nullptr;
}

// The rectangle the text of the label that says it takes on the screen, and how wide that text is; with no
// such label, nothing that could read.
std::pair<QRect, int> textOf(QWidget* panel, const QString& text) {
    const QLabel* label = labelSaying(panel, text);
    if (!label) return {QRect(), INT_MAX};
    return {onScreen(*label), std::min(label->width(), label->fontMetrics().horizontalAdvance(text))};
}

class PanelsOverStreamIntegrationTest : public test::StreamWindowIntegrationTest {
protected:
    void SetUp() override {
        StreamWindowIntegrationTest::SetUp();
        // Wide enough that the hint at the top centre and the card at the top right stand apart.
        StreamSettings::setScreenSource([] { return StreamSettings::MainScreen{960, 540, 1, 60}; });
    }
    void TearDown() override {
        overlay.stop();
        manager.reset();
        clock.advance(3600);  // the ended loops' last sleeps end
        streamClock.advance(3600);
        StreamWindow::ownWindow = nullptr;
        StreamWindowIntegrationTest::TearDown();
        if (compositor) {
            compositor->terminate();
            compositor->waitForFinished(10000);
        }
    }

    void startCompositor() {
        compositor = std::make_unique<QProcess>();
        test::endsWithTest(*compositor);
        compositor->start("xcompmgr", {});
        ASSERT_TRUE(compositor->waitForStarted(10000)) << "xcompmgr (scripts/install-deps.sh installs it)";
        ASSERT_TRUE(QTest::qWaitFor(compositing, 10000));
    }

    // Waits (bounded) until the grabbed screen shows every panel readable, then checks each for the record.
    struct Panel {
        std::string name;
        std::function<QRect()> rect;
        std::function<std::pair<QRect, int>()> text;
    };
    void expectReadable(const std::vector<Panel>& panels, const char* shot) {
        QImage screen;
        const auto all = [&] {
            screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
            return std::ranges::all_of(panels, [&](const Panel& p) {
                const auto [text, width] = p.text();
                return read(screen, p.rect(), text).readable(width);
            });
        };
        static_cast<void>(QTest::qWaitFor(all, 15000));  // each panel is judged below
        if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS")) screen.save(QString("%1/%2.png").arg(keep, shot));
        for (const Panel& p : panels) {
            const auto [text, width] = p.text();
            const Reading reading = read(screen, p.rect(), text);
            EXPECT_TRUE(reading.readable(width)) << p.name << ": " << reading << " (" << width << " px expected)";
        }
    }

    static void pointerAt(QPoint at, const std::string& then = "") {
        test::runCommand("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + then);
    }
    // Whether a press of the left button at `at` reaches the stream view; released again.
    bool pressReachesView(QPoint at) {
        const auto down = [this] { return !stream->view()->inputState.buttonsDown.empty(); };
        pointerAt(at, " mousedown 1");
        const bool reached = QTest::qWaitFor(down, 5000);
        pointerAt(at, " mouseup 1");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !down(); }, 5000));
        return reached;
    }

    ManualClock streamClock;  // the hint fades only when the test says
    ManualClock clock;        // sharing's polls and the overlay's ticks
    StatsOverlay overlay{clock, pool};
    std::unique_ptr<SharingManager> manager;
    std::unique_ptr<QProcess> compositor;

    void runsEveryPanel();
};

void PanelsOverStreamIntegrationTest::runsEveryPanel() {
    defaults->set("Corvane.EngineTestHint", platform::DefaultsValue{true});
    openStream(true, {}, streamClock);
    ASSERT_TRUE(waitForPictures());
    QWidget* window = stream->window();
    const QRect frame = window->frameGeometry();
    const QRect content = onScreen(*window);

    // The cover a reshape lays over the moving picture, plain black (without the last picture an earlier
    // stream of this program left behind it).
    std::filesystem::remove(*StartView::snapshotURL());
    auto* cover = new StartView(stream->view(), boxName, "Resizing...");
    const QRect whole = onScreen(*stream->view());
    expectReadable({{"cover title", [&] { return whole; }, [&] { return textOf(cover, "STUDY"); }},
                    {"cover message", [&] { return whole; }, [&] { return textOf(cover, "Resizing..."); }}},
                   "panels-cover");
    EXPECT_TRUE(pressReachesView(whole.center()));
    delete cover;

    // A receive that runs: the first of two equal files arrives, the second keeps the box silent (until it
    // stops).
    manager = std::make_unique<SharingManager>(clock, pool, AgentClient(address, 47800));
    StreamWindow::ownWindow = [this] { return stream->streamWindowInfo(); };
    manager->setStreamPID(static_cast<std::int32_t>(::getpid()));
    manager->setStreamWindow(window);
    settings.shareClipboard = false;
    settings.receiveFolder = (dir.path() / "Downloads").string();
    AgentClient::Info info;
    info.sharing = AgentClient::Info::Sharing{true, std::nullopt};
    manager->update(info, settings);
    const std::string bytes(4000, 'p');
    box->agent().script("GET /v1/user/outbox/{id}/file", {200, bytes, "application/octet-stream"});
    box->agent().script("GET /v1/user/outbox/{id}/file", {200, bytes, "application/octet-stream", 600});
    box->agent().addOutboxItem({"1", {{"Photos/a.jpg", bytes, std::nullopt}, {"Photos/b.jpg", bytes, std::nullopt}}, {}, {}});
    clock.advance(1.5);  // the outbox poll
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->hud().progress() == 0.5; }, 20000));
    ASSERT_EQ(manager->hud().title(), "Receiving Photos from Windows");

    // The overlay's card, as the box controller drives it.
    overlay.start(0, StatsOverlay::Position::topRight, true, {960, 540, "H.264", 20, 30, false});
    overlay.engineWindow = window;
    overlay.engineFPS = [this]() -> std::optional<int> { return stream->view()->shownFPS(); };
    overlay.engineLatency = [this] { return stream->endToEndMs(); };
    clock.advance(1.0);

    QWidget* pill = manager->hud().pill();
    QWidget* hint = stream->hint().panel();
    QWidget* card = overlay.panel();
    ASSERT_TRUE(pill && hint && card);
    // Each at its place: the pill centred 24 above the window's bottom edge, the hint 16 below the top of
    // its content, the card 40 below the window's top at the right.
    EXPECT_NEAR(onScreen(*pill).center().x(), frame.center().x(), 1);
    EXPECT_EQ(onScreen(*pill).bottom(), frame.bottom() - 24);
    EXPECT_NEAR(onScreen(*hint).center().x(), content.center().x(), 1);
    EXPECT_EQ(onScreen(*hint).top(), content.top() + 16);
    EXPECT_EQ(onScreen(*card).top(), frame.top() + 40);
    EXPECT_EQ(onScreen(*card).right(), frame.right() - 12);

    // Each a window of the stream window's own kind, which its backing store can draw into.
    for (const QWidget* panel : {pill, hint, card}) EXPECT_EQ(depthOf(panel->winId()), depthOf(window->winId()));

    const QString title = QString::fromStdString(manager->hud().title());
    const QString hintText = QString::fromStdString(EngineStream::hintText(settings.releaseMouseKey));
    // The card's rows below its graph: "Frame rate", "Latency" and "Video" with their figures.
    const auto rows = [&] {
        const QRect at = onScreen(*card);
        const int top = at.top() + static_cast<int>(StatsCard::graphRect(overlay).bottom()) + 4;
        return std::pair(QRect(at.left(), top, at.width(), at.bottom() - top - 4), static_cast<int>(StatsCard::width * 0.6));
    };
    // Checked over pictures drawn after every panel came up.
    const int shownBefore = stream->view()->shownTotal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->view()->shownTotal() >= shownBefore + 5; }, 20000));
    expectReadable({{"transfer name", [&] { return onScreen(*pill); }, [&] { return textOf(pill, title); }},
                    {"transfer figure", [&] { return onScreen(*pill); }, [&] { return textOf(pill, "50%"); }},
                    {"capture hint", [&] { return onScreen(*hint); }, [&] { return textOf(hint, hintText); }},
                    {"overlay card", [&] { return onScreen(*card); }, rows}},
                   "panels-over-picture");

    // Each panel is a window of its own over the picture, yet the pointer over it is over the stream view
    // beneath: it stays hidden there, and a press reaches the view.
    pointerAt(content.center());
    ASSERT_TRUE(QTest::qWaitFor([this] { return stream->view()->inputState.macPointerHidden; }, 5000));
    for (const auto& [name, panel] : {std::pair{"transfer panel", pill}, {"capture hint", hint}, {"overlay card", card}})
        EXPECT_TRUE(pressReachesView(onScreen(*panel).center())) << name;
    EXPECT_TRUE(stream->view()->inputState.macPointerHidden);
}

TEST_F(PanelsOverStreamIntegrationTest, EveryPanelReadsOverThePictureWithoutACompositor) { runsEveryPanel(); }

TEST_F(PanelsOverStreamIntegrationTest, EveryPanelReadsOverThePictureWithACompositor) {
    startCompositor();
    runsEveryPanel();
}

}  // namespace
}  // namespace corvane
