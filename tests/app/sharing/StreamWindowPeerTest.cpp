#include "tests/app/sharing/SharingTestSupport.hpp"

#include "app/window/StreamWindow.hpp"

#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <future>

namespace corvane {
namespace {


// A GTK program at the top left of the display whose label can be dragged: as files or as text.
constexpr const char* kDragSource = R"(
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
kind, payload = sys.argv[1], sys.argv[2]
w, box = Gtk.Window(), Gtk.EventBox()
w.set_default_size(200, 120)
w.move(0, 0)
box.add(Gtk.Label(label='drag me'))
w.add(box)
targets = Gtk.TargetList.new([])
targets.add_uri_targets(0) if kind == 'uris' else targets.add_text_targets(0)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [], Gdk.DragAction.COPY)
box.drag_source_set_target_list(targets)
box.connect('drag-data-get', lambda w, c, data, i, t: data.set_uris(payload.split('\n')) if kind == 'uris' else data.set_text(payload, -1))
w.show_all()
Gtk.main()
)";

class StreamWindowTest : public test::SharingFixture {
protected:
    StreamWindowTest() : SharingFixture(true) {}
    void SetUp() override {
        SharingFixture::SetUp();
        settings.shareClipboard = false;
        turnOn();
        window.move(400, 200);
        window.resize(600, 400);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000));
        manager->setStreamWindow(&window);
        manager->setStreamPID(::getpid());
        StreamWindow::ownWindow = [this] {
            return std::optional(StreamWindow::Info{static_cast<std::uint32_t>(window.winId()), window.frameGeometry()});
        };
    }
    void TearDown() override {
        StreamWindow::ownWindow = nullptr;
        if (sourcePid > 0) ::kill(sourcePid, SIGTERM);
        SharingFixture::TearDown();
    }
    static bool sourceShown() {
        return test::runCommand("xdotool search --onlyvisible --name '^source.py$' 2>/dev/null").status == 0;
    }
    void startSource(const std::string& kind, const std::string& payload) {
        if (sourcePid > 0) ::kill(sourcePid, SIGTERM);
        ASSERT_TRUE(QTest::qWaitFor([] { return !sourceShown(); }, 15000));
        test::writeFile(folder.path() / "source.py", kDragSource);
        sourcePid = std::stoi(test::runCommand("/usr/bin/python3 '" + (folder.path() / "source.py").string() + "' " + kind +
                                               " '" + payload + "' >/dev/null 2>&1 & echo $!")
                                  .output);
        ASSERT_TRUE(QTest::qWaitFor(sourceShown, 15000));
    }
    // xdotool moves the pointer while our event loop keeps answering the drag.
    void pointer(const std::string& steps) {
        auto done = std::async(std::launch::async, [steps] { return test::runCommand("xdotool " + steps).status; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                                    20000));
        EXPECT_EQ(done.get(), 0);
    }
    QWidget window;
    int sourcePid = -1;
    test::TempDir source;
};

TEST_F(StreamWindowTest, ADragIsWatchedFromItsStartAndItsFilesAreSent) {
    // Released elsewhere: the panel that came up at the drag's start goes down within one watch step.
    startSource("text", "never dropped");
    pointer("mousemove 100 60 mousedown 1 sleep 0.3 mousemove 110 65 sleep 0.2 mousemove 140 80 sleep 0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->catcher().panelVisible(); }, 5000));
    pointer("mousemove 150 90 sleep 0.2 mouseup 1 sleep 0.2");
    clock.advance(0.3);
    EXPECT_FALSE(manager->catcher().panelVisible());
    EXPECT_EQ(requests("POST /v1/user/clipboard"), 0u);
    // Dropped on the stream window: up before the drag gets near it, then the file goes to Windows.
    test::writeFile(source.path() / "dragged.txt", "dragged bytes");
    startSource("uris", "file://" + (source.path() / "dragged.txt").string());
    pointer("mousemove 100 60 mousedown 1 sleep 0.3 mousemove 110 65 sleep 0.2 mousemove 140 80 sleep 0.3");
    EXPECT_TRUE(QTest::qWaitFor([&] { return manager->catcher().panelVisible(); }, 5000));
    pointer("mousemove 500 300 sleep 0.3 mousemove 620 380 sleep 0.3 mousemove 640 400 sleep 0.5 mouseup 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent.drops().empty() && agent.drops()[0].finished; }, 15000));
    EXPECT_EQ(agent.drops()[0].files.at("dragged.txt"), "dragged bytes");
    EXPECT_FALSE(manager->catcher().panelVisible());
}

// The pill as it looks on a real X display: over the stream window, then alone at the top right.
TEST_F(StreamWindowTest, ThePillOverTheStreamWindowThenTopRight) {
    const auto shoot = [] {
        QTest::qWait(200);  // let the X server draw
        return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    };
    const auto dark = [](QRgb pixel) { return qRed(pixel) < 90 && qGreen(pixel) < 90 && qBlue(pixel) < 90; };
    auto& hud = manager->hud();
    hud.show("Receiving holiday photos from Windows", 0.42);
    const QRect pill(hud.pill()->mapToGlobal(QPoint(0, 0)), hud.pill()->size());
    auto shot = shoot();
    EXPECT_EQ(pill.bottom() + 1, window.geometry().bottom() + 1 - 24);
    EXPECT_EQ(hud.pill()->x(), window.width() / 2 - hud.pill()->width() / 2);
    for (auto* label : hud.pill()->findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_TRUE(dark(shot.pixel(pill.left() + 30, pill.bottom() - 4)));  // the pill's dark body
    EXPECT_FALSE(dark(shot.pixel(pill.left() + 30, pill.top() - 10)));   // the window above it
    window.hide();
    hud.finish("Could not receive from Windows: The server answered with error 500.", true);
    clock.advance(0.25);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(hud.pill(), 10000));
    shot = shoot();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect alone = hud.pill()->frameGeometry();
    EXPECT_EQ(alone.right(), area.right() - 16);
    EXPECT_EQ(alone.top(), area.top() + 16);
    EXPECT_TRUE(dark(shot.pixel(alone.left() + 40, alone.bottom() - 6)));
    EXPECT_TRUE(hud.pill()->testAttribute(Qt::WA_TransparentForMouseEvents));
    clock.advance(6.0);
    EXPECT_FALSE(hud.visible());
}

} // namespace
} // namespace corvane
