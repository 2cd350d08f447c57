// Every panel over a live stream, read off the screen as a person sees it: the start cover, the transfer
// panel of a receive that runs, the capture hint and the overlay's card, each on a background of its own
// with its text standing out at least 4.5:1 from it, at its place over the moving picture; and the drop
// target's look during a real drag; on a desktop without a compositor and with one.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <future>
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

// How the drop target's label reads in a grab of the screen. It lets the moving picture show through, darkened,
// so its background is no one colour: each strip of 8 columns has its own, the colour most of it shows.
struct LabelReading {
    double darkShare = 0;  // of the strips, those whose background is dark (as no bar of the picture is)
    int textWidth = 0;     // from the first to the last column holding a pixel 4.5:1 from its strip's background
    bool readable(int width) const { return darkShare >= 0.9 && textWidth >= 0.8 * width; }
    bool gone() const { return darkShare <= 0.6; }
};

std::ostream& operator<<(std::ostream& out, const LabelReading& r) {
    return out << "dark background on " << r.darkShare * 100 << "% of the label, text " << r.textWidth << " px wide";
}

LabelReading readLabel(const QImage& screen, const QRect& label) {
    LabelReading reading;
    const QRect inside = label & screen.rect();
    int strips = 0, dark = 0, first = INT_MAX, last = INT_MIN;
    for (int left = inside.left(); left + 8 <= inside.right() + 1; left += 8, ++strips) {
        std::map<QRgb, int> counts;
        for (int x = left; x < left + 8; ++x)
            for (int y = inside.top(); y <= inside.bottom(); ++y) ++counts[screen.pixel(x, y) | 0xFF000000];
        const QColor background(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) { return a.second < b.second; })->first);
        if (std::max({background.red(), background.green(), background.blue()}) <= 115) ++dark;
        for (int x = left; x < left + 8; ++x)
            for (int y = inside.top(); y <= inside.bottom(); ++y)
                if (contrast(screen.pixelColor(x, y), background) >= 4.5) first = std::min(first, x), last = std::max(last, x);
    }
    if (strips) reading.darkShare = double(dark) / strips;
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

// Whether no client holds the pointer grabbed: a grab of our own succeeds (and is let go at once).
bool pointerFree() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    // (0 for False, None and CurrentTime, whose macros Qt's headers leave undefined)
    const bool free = XGrabPointer(display, DefaultRootWindow(display), 0, 0, GrabModeAsync, GrabModeAsync, 0, 0, 0) == GrabSuccess;
    if (free) XUngrabPointer(display, 0);
    XCloseDisplay(display);
    return free;
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

// The X windows inside `parent`, bottom first, asked on the app's own connection (after all it sent).
std::vector<xcb_window_t> childWindows(WId parent) {
    xcb_connection_t* x = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(xcb_query_tree_reply(x, xcb_query_tree(x, parent), nullptr), &std::free);
    if (!tree) return {};
    return {xcb_query_tree_children(tree.get()), xcb_query_tree_children(tree.get()) + xcb_query_tree_children_length(tree.get())};
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
        for (auto* process : {compositor.get(), dragSource.get()}) {
            if (!process) continue;
            process->terminate();
            process->waitForFinished(10000);
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
    std::unique_ptr<QProcess> dragSource;

    void runsEveryPanel();
    void dragsOverThePicture();
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

// A GTK program at the top left of the display whose label can be dragged as the file it is given.
constexpr const char* kDragSource = R"(
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
w, box, targets = Gtk.Window(title='drag source'), Gtk.EventBox(), Gtk.TargetList.new([])
w.set_default_size(140, 90); w.move(0, 0); box.add(Gtk.Label(label='drag me')); w.add(box)
targets.add_uri_targets(0)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [], Gdk.DragAction.COPY); box.drag_source_set_target_list(targets)
box.connect('drag-data-get', lambda w, c, data, i, t: data.set_uris([sys.argv[1]]))
w.show_all(); Gtk.main()
)";

// A file dragged from another program over the stream window: while the drag is over it, the drop target's
// look (tint, accent border, label) shows over the picture, which keeps moving beneath; when the drag
// leaves, and when it ends in a drop, nothing of the look stays, and the drop reaches the catcher.
void PanelsOverStreamIntegrationTest::dragsOverThePicture() {
    openStream(true, {}, streamClock);
    ASSERT_TRUE(waitForPictures());
    QWidget* window = stream->window();
    const QRect content = onScreen(*window);
    manager = std::make_unique<SharingManager>(clock, pool, AgentClient(address, 47800));
    StreamWindow::ownWindow = [this] { return stream->streamWindowInfo(); };
    manager->setStreamPID(static_cast<std::int32_t>(::getpid()));
    manager->setStreamWindow(window);
    settings.shareClipboard = false;
    AgentClient::Info info;
    info.sharing = AgentClient::Info::Sharing{true, std::nullopt};
    manager->update(info, settings);
    DropCatcher& catcher = manager->catcher();
    ASSERT_TRUE(catcher.enabled && catcher.watching());
    std::vector<std::filesystem::path> dropped;
    catcher.onDrop = [&](const DropCatcher::Drop& drop) { dropped.insert(dropped.end(), drop.files.begin(), drop.files.end()); };

    const auto file = dir.path() / "dragged.txt";
    std::ofstream(file) << "dragged bytes";
    std::ofstream(dir.path() / "source.py") << kDragSource;
    dragSource = std::make_unique<QProcess>();
    test::endsWithTest(*dragSource);
    dragSource->start("/usr/bin/python3", {QString::fromStdString((dir.path() / "source.py").string()),
                                           QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()});
    ASSERT_TRUE(QTest::qWaitFor([] { return test::runCommand("xdotool search --onlyvisible --name '^drag source$'").status == 0; }, 15000));
    // xdotool moves the pointer while our event loop keeps answering the drag.
    const auto pointer = [](const std::string& steps) {
        auto done = std::async(std::launch::async, [steps] { return test::runCommand("xdotool " + steps).status; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
        EXPECT_EQ(done.get(), 0);
    };
    const auto at = [](QPoint p) { return std::to_string(p.x()) + " " + std::to_string(p.y()); };
    const std::string startDrag = "mousemove 60 50 mousedown 1 sleep 0.3 mousemove 70 55 sleep 0.2 mousemove 100 70 sleep 0.3";
    // Over the picture, in its lower right quarter: away from the label, the edges' middles and the strip
    // the picture is compared in.
    const QPoint over(content.left() + content.width() * 3 / 4, content.top() + content.height() * 3 / 4);
    const QPoint outside(60, content.bottom() + 60);

    const QColor accent = window->palette().color(QPalette::Highlight);
    QFont font;
    font.setPixelSize(20);
    font.setWeight(QFont::DemiBold);
    const int textWidth = QFontMetrics(font).horizontalAdvance("Drop to copy to Windows");
    // The label's box, centred: the text and room around it.
    const QRect label(content.center().x() - textWidth / 2 - 12, content.center().y() - 18, textWidth + 24, 36);
    const std::vector<QPoint> edges = {{content.left() + 1, content.center().y()}, {content.right() - 1, content.center().y()},
                                       {content.center().x(), content.top() + 1}, {content.center().x(), content.bottom() - 1}};
    const auto borderShown = [&](const QImage& screen) {
        return std::ranges::all_of(edges, [&](QPoint p) { return distance(screen.pixel(p), accent.rgb()) <= 12; });
    };
    const auto borderGone = [&](const QImage& screen) {
        return std::ranges::none_of(edges, [&](QPoint p) { return distance(screen.pixel(p), accent.rgb()) <= 40; });
    };
    const auto grab = [] { return QGuiApplication::primaryScreen()->grabWindow(0).toImage(); };
    QImage screen;
    const auto shows = [&] { return screen = grab(), readLabel(screen, label).readable(textWidth) && borderShown(screen); };
    const auto gone = [&] { return screen = grab(), readLabel(screen, label).gone() && borderGone(screen); };
    const auto keep = [&](const char* shot) {
        if (const char* folder = std::getenv("CORVANE_KEEP_SCREENSHOTS")) screen.save(QString("%1/%2.png").arg(folder, shot));
    };

    // The drag's start brings the target up; over the window, it shows.
    pointer(startDrag);
    ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.panelVisible(); }, 10000));
    pointer("mousemove " + at(content.center() / 2 + over / 2) + " sleep 0.3 mousemove " + at(over) + " sleep 0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.highlighted(); }, 10000));
    static_cast<void>(QTest::qWaitFor(shows, 15000));  // judged below
    keep("drop-target-over-picture");
    const LabelReading reading = readLabel(screen, label);
    EXPECT_TRUE(reading.readable(textWidth)) << reading << " (" << textWidth << " px expected)";
    for (const QPoint p : edges) EXPECT_LE(distance(screen.pixel(p), accent.rgb()), 12) << p.x() << "," << p.y();
    // The picture beneath goes on moving: a strip on the left half, clear of the label, differs a few pictures on.
    const QRect strip(content.left() + 20, content.top() + content.height() / 3, content.width() / 3, 40);
    const QImage before = screen.copy(strip);
    const int shownBefore = stream->view()->shownTotal();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stream->view()->shownTotal() >= shownBefore + 4; }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return grab().copy(strip) != before; }, 10000));
    EXPECT_TRUE(catcher.highlighted());

    // Leaving the window, the look goes while the drag goes on; released outside, the target goes at the
    // next watch step (the watch ticks every 0.3 s from the drag's start, on the test's clock).
    pointer("mousemove " + at(outside) + " sleep 0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !catcher.highlighted(); }, 10000));
    static_cast<void>(QTest::qWaitFor(gone, 15000));
    keep("drop-target-left");
    EXPECT_TRUE(readLabel(screen, label).gone()) << readLabel(screen, label);
    EXPECT_TRUE(borderGone(screen));
    EXPECT_TRUE(catcher.panelVisible());
    pointer("mouseup 1 sleep 0.3");
    clock.advance(0.29);
    EXPECT_TRUE(catcher.panelVisible());
    clock.advance(0.01);
    EXPECT_FALSE(catcher.panelVisible());
    EXPECT_TRUE(dropped.empty());

    // A second drag, dropped on the window: the file reaches the catcher and the look goes with the drop.
    // The source holds the pointer until it has read the first drag's release; a press before that goes to
    // its grab and starts nothing.
    ASSERT_TRUE(QTest::qWaitFor(pointerFree, 15000));
    pointer(startDrag);
    ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.panelVisible(); }, 10000));
    pointer("mousemove " + at(content.center() / 2 + over / 2) + " sleep 0.3 mousemove " + at(over) + " sleep 0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.highlighted(); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor(shows, 15000));
    pointer("mouseup 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dropped.empty(); }, 15000));
    EXPECT_EQ(dropped, std::vector<std::filesystem::path>{file});
    EXPECT_FALSE(catcher.panelVisible());
    static_cast<void>(QTest::qWaitFor(gone, 15000));
    keep("drop-target-dropped");
    EXPECT_TRUE(readLabel(screen, label).gone()) << readLabel(screen, label);
    EXPECT_TRUE(borderGone(screen));
}

TEST_F(PanelsOverStreamIntegrationTest, EveryPanelReadsOverThePictureWithoutACompositor) { runsEveryPanel(); }

TEST_F(PanelsOverStreamIntegrationTest, EveryPanelReadsOverThePictureWithACompositor) {
    startCompositor();
    runsEveryPanel();
}

// Wherever the card sits over the release hint, the hint stays the stream window's top window, inside it whole.
TEST_F(PanelsOverStreamIntegrationTest, TheReleaseHintStaysAboveTheCardAtEveryPosition) {
    StreamSettings::setScreenSource([] { return StreamSettings::MainScreen{640, 360, 1, 60}; });
    defaults->set("Corvane.EngineTestHint", platform::DefaultsValue{true});
    openStream(true, {}, streamClock);
    QWidget* hint = stream->hint().panel();
    ASSERT_TRUE(hint && stream->window()->rect().contains(hint->geometry()));
    for (const auto position : {StatsOverlay::Position::topLeft, StatsOverlay::Position::topCenter, StatsOverlay::Position::topRight}) {
        overlay.start(0, position, true, {640, 360, "H.264", 20, 30, false});
        overlay.engineWindow = stream->window();
        clock.advance(1.0);  // four ticks, each placing the card
        ASSERT_TRUE(overlay.panel() && overlay.panel()->geometry().intersects(hint->geometry())) << rawValue(position);
        EXPECT_EQ(childWindows(stream->window()->winId()).back(), hint->winId()) << rawValue(position);
    }
}

TEST_F(PanelsOverStreamIntegrationTest, TheDropTargetShowsOverTheMovingPictureWithoutACompositor) { dragsOverThePicture(); }

TEST_F(PanelsOverStreamIntegrationTest, TheDropTargetShowsOverTheMovingPictureWithACompositor) {
    startCompositor();
    dragsOverThePicture();
}

}  // namespace
}  // namespace corvane
