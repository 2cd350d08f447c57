// Every window's frame as the X server has it, in its own pixels, inside the screen's free area, also for
// the main window shown a second time; a scrolled page is never wider than the room it scrolls in. On a
// 1366x768 screen, and at scale 2 on a 1920x1080 one; the test runs itself again on a virtual display of
// each kind, under openbox.
#include "app/ui/ScreenFit.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <unistd.h>

namespace corvane {
namespace {

// Xvfb's screen and QT_SCALE_FACTOR.
const char* const screens[][2] = {{"1366x768x24", "1"}, {"1920x1080x24", "2"}};

std::string text(QRect r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" + std::to_string(r.height());
}

// The window manager's frame as the X server has it, in its pixels: the window's place and size grown by
// _NET_FRAME_EXTENTS (none before the window manager has framed it).
QRect serverFrame(const QWidget& window) {
    const std::string id = std::to_string(window.winId());
    const std::string place = test::runCommand("xwininfo -id " + id).output;
    const std::string extents = test::runCommand("xprop -id " + id + " _NET_FRAME_EXTENTS").output;
    const auto number = [&](const std::string& text, const std::string& after) {
        const auto at = text.find(after);
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + after.size());
    };
    int left = 0, right = 0, top = 0, bottom = 0;
    if (std::sscanf(extents.c_str(), "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left, &right, &top, &bottom) != 4) return {};
    return QRect(number(place, "Absolute upper-left X:"), number(place, "Absolute upper-left Y:"), number(place, "Width:"),
                 number(place, "Height:")).adjusted(-left, -top, right, bottom);
}

class OnTheServer final : public test::UiFixture {
public:
    OnTheServer() : UiFixture(true) {}
    void TestBody() override {}

    void check(QWidget& window, const std::string& where) {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 10000)) << where;
        const QRect area = window.screen()->availableGeometry();
        const qreal scale = window.devicePixelRatio();
        const QRect deviceArea(area.topLeft() * scale, area.size() * scale);
        QRect frame;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            frame = serverFrame(window);
            return !frame.isEmpty() && deviceArea.contains(frame) && QApplication::topLevelAt(window.geometry().center()) == &window;
        }, 10000)) << where << ": frame " << text(frame) << " in " << text(deviceArea);
        for (auto* scroll : window.findChildren<QScrollArea*>())
            EXPECT_TRUE(!scroll->isVisible() || scroll->widget()->width() <= scroll->viewport()->width())
                << where << ": " << scroll->widget()->width() << " in " << scroll->viewport()->width();
        ++checked;
    }
    void everyWindowTwice() {
        everyWindow([this](QWidget& window, const std::string& name) { check(window, name); });
        // The main window hidden and shown again, in its tallest phase.
        MainWindow main(*box);
        setBox({.phase = phase(BoxController::Phase::Kind::ready), .linkUp = true, .boxFound = true, .paired = true,
                .boxName = "Den", .boxStatus = load});
        setUpdates({.appUpdate = UpdateManager::AppUpdate{"9.9", std::nullopt, {}}, .boxUpdates = {{"host", "1.1"}}});
        check(main, "main");
        main.hide();
        check(main, "main shown again");
    }
    int checked = 0;
};

TEST(ServerFrameTest, EveryWindowInsideTheFreeAreaAsTheServerHasIt) {
    if (!std::getenv("CORVANE_TEST_SCALE")) {
        for (const auto& [screen, scale] : screens) {
            const auto run = test::runCommand(std::string("CORVANE_TEST_SCREEN=") + screen + " CORVANE_TEST_SCALE=" + scale + " /proc/" +
                                              std::to_string(::getpid()) + "/exe --gtest_filter='ServerFrameTest.*' 2>&1");
            EXPECT_EQ(run.status, 0) << screen << "\n" << run.output;
            EXPECT_NE(run.output.find("[       OK ] "), std::string::npos) << screen;
        }
        return;
    }
    OnTheServer on;
    on.everyWindowTwice();
    EXPECT_GT(on.checked, 18);
}

// A window that grows after the window manager took it on at its first size, before the app heard of its
// frame: the manager applies the growth later, where the window asked to be placed, low on the screen, so
// that it would reach past the bottom of the free area. Once the manager has framed it and applied the
// growth, its frame as the X server has it is back inside.
TEST(ServerFrameGrowthTest, AGrowthTheWindowManagerAppliesLateIsBroughtBackInside) {
    test::uiApp(true);
    {
        // The window manager, started with the app, may pass over a window shown while it starts up: the first
        // one is shown again until it is taken on.
        QWidget first;
        bool exposed = false;
        for (int i = 0; i < 6 && !exposed; ++i) {
            first.show();
            exposed = QTest::qWaitForWindowExposed(&first, 10000);
            if (!exposed) first.hide();
        }
        ASSERT_TRUE(exposed);
    }
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* content = new QWidget;
    auto* card = new QWidget;
    card->setFixedHeight(100);
    (new QVBoxLayout(content))->addWidget(card);
    QScrollArea* scroll = ScreenFit::scrollArea(content);
    layout->addWidget(scroll);
    ScreenFit::fit(window, *scroll, 300);
    const QRect area = window.screen()->availableGeometry();
    window.move(area.left() + 40, area.bottom() - 300);
    window.show();
    // The window manager frames it at its first size; the app's event loop does not run meanwhile, so its
    // requests go out by hand.
    const auto flush = reinterpret_cast<int (*)(void*)>(dlsym(RTLD_DEFAULT, "xcb_flush"));
    ASSERT_TRUE(flush);
    flush(qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection());
    const std::string id = std::to_string(window.winId());
    bool framed = false;
    for (int i = 0; i < 1200 && !framed; ++i) {
        framed = test::runCommand("xprop -id " + id + " _NET_FRAME_EXTENTS").output.find(" = ") != std::string::npos;
        if (!framed) usleep(50000);
    }
    ASSERT_TRUE(framed);
    card->setFixedHeight(area.height() - 200);
    ScreenFit::fit(window, *scroll, 300);
    const int grown = window.height();
    ASSERT_GT(grown, 400);
    const qreal scale = window.devicePixelRatio();
    const QRect deviceArea(area.topLeft() * scale, area.size() * scale);
    QRect frame;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        frame = serverFrame(window);
        return window.height() == grown && frame.height() > grown * scale && deviceArea.contains(frame);
    }, 30000)) << "frame " << text(frame) << " in " << text(deviceArea);
}

} // namespace
} // namespace corvane
