#include "tests/app/sharing/SharingTestSupport.hpp"

#include <future>

namespace corvane {
namespace {

namespace fs = std::filesystem;

// A GTK program at the top left of the display whose label can be dragged: as files or as text.
constexpr const char* kDragSource = R"(
import sys, gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk, Gdk
kind, payload = sys.argv[1], sys.argv[2]
w = Gtk.Window()
w.set_default_size(200, 120)
w.move(0, 0)
box = Gtk.EventBox()
box.add(Gtk.Label(label='drag me'))
w.add(box)
targets = Gtk.TargetList.new([])
if kind == 'uris':
    targets.add_uri_targets(0)
else:
    targets.add_text_targets(0)
box.drag_source_set(Gdk.ModifierType.BUTTON1_MASK, [], Gdk.DragAction.COPY)
box.drag_source_set_target_list(targets)
def get(widget, context, data, info, time):
    if kind == 'uris':
        data.set_uris(payload.split('\n'))
    else:
        data.set_text(payload, -1)
box.connect('drag-data-get', get)
w.connect('destroy', Gtk.main_quit)
w.show_all()
Gtk.main()
)";

class DragAndDropTest : public test::SharingFixture {
protected:
    DragAndDropTest() : SharingFixture(true) {}
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
    }
    void TearDown() override {
        if (sourcePid > 0) ::kill(sourcePid, SIGTERM);
        SharingFixture::TearDown();
    }
    void startSource(const std::string& kind, const std::string& payload) {
        test::writeFile(folder.path() / "source.py", kDragSource);
        sourcePid = std::stoi(test::runCommand("/usr/bin/python3 '" + (folder.path() / "source.py").string() + "' " + kind +
                                               " '" + payload + "' >/dev/null 2>&1 & echo $!")
                                  .output);
        ASSERT_TRUE(QTest::qWaitFor(
            [] { return test::runCommand("xdotool search --onlyvisible --name '^source.py$' 2>/dev/null").status == 0; }, 15000));
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

TEST_F(DragAndDropTest, FilesDraggedFromAnotherProgramAreSent) {
    test::writeFile(source.path() / "dragged.txt", "dragged bytes");
    startSource("uris", "file://" + (source.path() / "dragged.txt").string());
    pointer("mousemove 100 60 mousedown 1 sleep 0.3 mousemove 110 65 sleep 0.2 mousemove 140 80 sleep 0.3");
    // The panel is up as soon as the drag starts, before it gets near the stream window.
    EXPECT_TRUE(QTest::qWaitFor([&] { return manager->catcher().panelVisible(); }, 5000));
    pointer("mousemove 500 300 sleep 0.3 mousemove 620 380 sleep 0.3 mousemove 640 400 sleep 0.5 mouseup 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent.drops().empty() && agent.drops()[0].finished; }, 15000));
    EXPECT_EQ(agent.drops()[0].files.at("dragged.txt"), "dragged bytes");
    EXPECT_FALSE(manager->catcher().panelVisible());
}

TEST_F(DragAndDropTest, ADragReleasedElsewhereTakesThePanelDown) {
    startSource("text", "never dropped");
    pointer("mousemove 100 60 mousedown 1 sleep 0.3 mousemove 110 65 sleep 0.2 mousemove 140 80 sleep 0.3");
    ASSERT_TRUE(QTest::qWaitFor([&] { return manager->catcher().panelVisible(); }, 5000));
    pointer("mousemove 150 90 sleep 0.2 mouseup 1 sleep 0.2");
    clock.advance(DropCatcher::kWatch);
    EXPECT_FALSE(manager->catcher().panelVisible());
    EXPECT_EQ(requests("POST /v1/user/clipboard"), 0u);
}

} // namespace
} // namespace corvane
