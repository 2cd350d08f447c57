#include "tests/app/sharing/SharingTestSupport.hpp"
#include "app/window/StreamWindow.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "tests/support/OwnedProcess.hpp"
#include <QLabel>
#include <future>

namespace corvane {
namespace {

// A GTK program at the top left of the display whose label can be dragged as the files it is given.
constexpr const char* kDragSource = R"(
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
w, box, targets = Gtk.Window(), Gtk.EventBox(), Gtk.TargetList.new([])
w.set_default_size(200, 120); w.move(0, 0); box.add(Gtk.Label(label='drag me')); w.add(box)
targets.add_uri_targets(0)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [], Gdk.DragAction.COPY); box.drag_source_set_target_list(targets)
box.connect('drag-data-get', lambda w, c, data, i, t: data.set_uris(sys.argv[1].split('\n')))
w.show_all(); Gtk.main()
)";

class StreamWindowTest : public test::SharingFixture {
protected:
    StreamWindowTest() : SharingFixture(true) {}
    void TearDown() override {
        StreamWindow::ownWindow = nullptr;
        source.reset();
        SharingFixture::TearDown();
    }
    std::unique_ptr<test::OwnedProcess> source;
};

// A drag that starts in another program brings the panel up before it gets near the stream window; dropped
// there, the file goes to Windows.
TEST_F(StreamWindowTest, ADragIsWatchedFromItsStartAndItsFilesAreSent) {
    settings.shareClipboard = false;
    turnOn();
    QWidget window;
    window.setGeometry(400, 200, 600, 400);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000));
    manager->setStreamWindow(&window);
    manager->setStreamPID(::getpid());
    StreamWindow::ownWindow = [&] {
        return std::optional(StreamWindow::Info{static_cast<std::uint32_t>(window.winId()), window.frameGeometry()});
    };
    test::writeFile(folder.path() / "dragged.txt", "dragged bytes");
    test::writeFile(folder.path() / "source.py", kDragSource);
    source = std::make_unique<test::OwnedProcess>("/usr/bin/python3 '" + (folder.path() / "source.py").string() + "' 'file://" +
                                                  (folder.path() / "dragged.txt").string() + "' >/dev/null 2>&1");
    ASSERT_TRUE(QTest::qWaitFor([] { return test::runCommand("xdotool search --onlyvisible --name '^source.py$'").status == 0; }, 15000));
    // xdotool moves the pointer while our event loop keeps answering the drag.
    const auto pointer = [](const std::string& steps) {
        auto done = std::async(std::launch::async, [steps] { return test::runCommand("xdotool " + steps).status; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
        EXPECT_EQ(done.get(), 0);
    };
    pointer("mousemove 100 60 mousedown 1 sleep 0.3 mousemove 110 65 sleep 0.2 mousemove 140 80 sleep 0.3");
    EXPECT_TRUE(QTest::qWaitFor([&] { return manager->catcher().panelVisible(); }, 5000));
    pointer("mousemove 500 300 sleep 0.3 mousemove 620 380 sleep 0.3 mousemove 640 400 sleep 0.5 mouseup 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent.drops().empty() && agent.drops()[0].finished; }, 15000));
    EXPECT_EQ(agent.drops()[0].files.at("dragged.txt"), "dragged bytes");
    EXPECT_FALSE(manager->catcher().panelVisible());
}

// Names from the box carry whatever they hold: the pill's labels show markup as typed, over the stream window
// and alone at the top right.
TEST_F(StreamWindowTest, ThePillShowsMarkupInNamesFromTheBoxAsPlainText) {
    auto* window = new QWidget;
    window->setGeometry(400, 200, 600, 400);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 10000));
    StreamWindow::ownWindow = [alive = QPointer<QWidget>(window)]() -> std::optional<StreamWindow::Info> {
        if (!alive) return std::nullopt;
        return StreamWindow::Info{static_cast<std::uint32_t>(alive->winId()), QRectF(alive->frameGeometry())};
    };
    TransferHUD hud(clock);
    hud.streamPID = ::getpid();
    const QString markup = "Receiving <b>holiday</b> &amp; <i>photos</i> from Windows";
    const auto shownAsTyped = [&](QWidget* pill, const QString& text) {
        const auto labels = pill->findChildren<QLabel*>();
        EXPECT_FALSE(labels.isEmpty());
        for (QLabel* label : labels) EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
        return std::any_of(labels.begin(), labels.end(), [&](QLabel* label) { return label->text() == text; });
    };
    hud.show(markup.toStdString(), 0.42);
    ASSERT_EQ(hud.pill()->parentWidget(), window);
    EXPECT_TRUE(shownAsTyped(hud.pill(), markup));
    delete window;
    hud.finish("Could not receive <b>x</b> from Windows: <i>disk</i> &amp; full", true);
    clock.advance(TransferHUD::kTick);
    ASSERT_TRUE(hud.visible());
    ASSERT_EQ(hud.pill()->parentWidget(), nullptr);
    EXPECT_TRUE(shownAsTyped(hud.pill(), "Could not receive <b>x</b> from Windows: <i>disk</i> &amp; full"));
}

} // namespace
} // namespace corvane
