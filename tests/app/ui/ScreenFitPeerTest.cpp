// Every window fits the screen's free area and every button of every phase and tab can be scrolled into
// view and pressed: on a 1366x768 screen in the light look, and at scale 2 on a 1920x1080 one (a 960x540
// desktop) in the dark. The test runs itself again on a virtual display of each kind, under openbox.
// CORVANE_KEEP_SCREENSHOTS names a folder that keeps what the X server shows of each window.
#include "app/controller/Appearance.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <cstdio>
#include <cstdlib>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

const struct {
    const char* screen;  // Xvfb's screen, WxHxDepth
    const char* scale;   // QT_SCALE_FACTOR
    const char* look;
} screens[] = {{"1366x768x24", "1", "light"}, {"1920x1080x24", "2", "dark"}};

class OnThisScreen final : public test::UiFixture {
public:
    OnThisScreen() : UiFixture(true) {}
    void TestBody() override {}

    // The window manager's frame as the X server has it, in its pixels: the window's place and size grown by
    // _NET_FRAME_EXTENTS (none before the window manager has framed it).
    static QRect serverFrame(const QWidget& window) {
        const std::string id = std::to_string(window.winId());
        const std::string place = test::runCommand("xwininfo -id " + id).output;
        const std::string extents = test::runCommand("xprop -id " + id + " _NET_FRAME_EXTENTS").output;
        const auto number = [&](const std::string& text, const std::string& after) {
            const auto at = text.find(after);
            return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + after.size());
        };
        int left = 0, right = 0, top = 0, bottom = 0;
        if (std::sscanf(extents.c_str(), "_NET_FRAME_EXTENTS(CARDINAL) = %d, %d, %d, %d", &left, &right, &top, &bottom) != 4)
            return {};
        return QRect(number(place, "Absolute upper-left X:"), number(place, "Absolute upper-left Y:"),
                     number(place, "Width:"), number(place, "Height:")).adjusted(-left, -top, right, bottom);
    }

    // The frame inside the free area once the window manager has framed it; then each button that can be
    // used now, brought into view by the scroll area holding it, is the widget found under its centre on
    // the X server and goes down when pressed there (released outside it, so nothing is done).
    void check(QWidget& window, const std::string& where) {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window)) << where;
        const QRect area = window.screen()->availableGeometry();
        const qreal scale = window.devicePixelRatio();
        const QRect deviceArea(area.topLeft() * scale, area.size() * scale);
        QRect frame;
        EXPECT_TRUE(QTest::qWaitFor([&] {
            frame = serverFrame(window);
            return !frame.isEmpty() && deviceArea.contains(frame) && QApplication::topLevelAt(window.geometry().center()) == &window;
        })) << where << ": frame " << text(frame) << " in " << text(deviceArea);
        // Nothing runs past a scroll area's side, waits to be shown, or is squeezed below its text's height.
        for (auto* scroll : window.findChildren<QScrollArea*>())
            EXPECT_TRUE(!scroll->isVisible() || scroll->widget()->width() <= scroll->viewport()->width()) << where;
        for (QWidget* w : window.findChildren<QWidget*>()) {
            const bool parentShown = w->parentWidget() && w->parentWidget()->isVisible();
            EXPECT_FALSE(parentShown && w->isHidden() && !w->testAttribute(Qt::WA_WState_ExplicitShowHide) && !w->isWindow())
                << where << ": never shown: " << w->metaObject()->className() << " " << w->objectName().toStdString();
            if (auto* label = qobject_cast<QLabel*>(w); label && label->isVisible() && label->wordWrap()) {
                EXPECT_GE(label->height(), label->heightForWidth(label->width())) << where << ": " << label->text().toStdString();
            }
        }
        for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) {
            if (!button->isVisibleTo(&window) || !button->isEnabled()) continue;
            const std::string what = where + ": " + button->text().toStdString() + " " + button->objectName().toStdString();
            for (QWidget* up = button->parentWidget(); up && up != &window; up = up->parentWidget())
                if (auto* scroll = qobject_cast<QScrollArea*>(up)) scroll->ensureWidgetVisible(button, 0, 0);
            QPoint centre;
            EXPECT_TRUE(QTest::qWaitFor([&] {
                centre = button->mapToGlobal(button->rect().center());
                QWidget* hit = QApplication::widgetAt(centre);
                return area.contains(centre) && (hit == button || button->isAncestorOf(hit));
            }, 2000)) << what << " at " << centre.x() << "," << centre.y();
            const QSignalBlocker quiet(button);
            QTest::mousePress(button, Qt::LeftButton, {}, button->mapFromGlobal(centre));
            EXPECT_TRUE(button->isDown()) << what;
            QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-4, -4));
            ++pressed;
        }
        window.repaint();
        if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"))
            window.screen()->grabWindow(window.winId()).save(QString("%1/%2-%3.png").arg(keep, look, QString::fromStdString(where)));
    }
    void everyWindow() {
        MainWindow main(*box);
        AgentClient::BoxStatus load{.cpuName = {}, .gpuName = "GPU", .cpuPercent = 13, .gpuPercent = 95, .memoryUsed = 8ull << 30,
                                    .memoryTotal = 32ull << 30, .diskFree = 400ull << 30, .diskTotal = 1000ull << 30, .temperatureC = {}};
        for (int k = 0; k <= static_cast<int>(Kind::streaming); ++k) {
            setBox({.phase = BoxController::Phase{static_cast<Kind>(k), k < 3 ? "The box said so, at some length." : ""},
                       .linkUp = k > 4, .boxFound = k > 6, .paired = k > 7,
                       .boxName = k > 6 ? std::optional<std::string>("Den") : std::nullopt,
                       .boxStatus = k > 6 ? std::optional(load) : std::nullopt});
            setUpdates({.status = k % 2 ? UpdateManager::Status::idle() : UpdateManager::Status::updating("Downloading"),
                           .progress = 0.4, .appUpdate = UpdateManager::AppUpdate{"9.9", std::nullopt, {}},
                           .boxUpdates = {{"host", "1.1"}}});
            check(main, "main " + std::to_string(k));
        }
        main.hide();
        check(main, "main shown again");
        main.hide();
        SettingsWindow settings(*box);
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            check(settings, settings.tabs()->tabText(tab).toStdString());
        }
        settings.hide();
        AdvancedStreamSheet sheet(*box, nullptr);
        check(sheet, "advanced");
        sheet.hide();
        Acknowledgements::show();
        check(*Acknowledgements::window(), "acknowledgements");
    }
    static std::string text(QRect r) {
        return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" + std::to_string(r.height());
    }
    int pressed = 0;
    QString look;
};

TEST(ScreenFitTest, EveryWindowPhaseAndTabOnSmallScreens) {
    if (!std::getenv("CORVANE_TEST_SCALE")) {
        for (const auto& row : screens) {
            const auto run = test::runCommand(std::string("CORVANE_TEST_SCREEN=") + row.screen + " CORVANE_TEST_SCALE=" + row.scale +
                                              " CORVANE_TEST_LOOK=" + row.look + " /proc/" + std::to_string(::getpid()) +
                                              "/exe --gtest_filter='*OnSmallScreens*' 2>&1");
            EXPECT_TRUE(run.status == 0 && run.output.find("[       OK ] ") != std::string::npos) << row.screen << "\n" << run.output;
        }
        return;
    }
    OnThisScreen on;
    on.look = std::getenv("CORVANE_TEST_LOOK");
    Appearance::apply(on.look.toStdString());
    on.everyWindow();
    Appearance::apply(std::nullopt);
    EXPECT_GT(on.pressed, 50);
}

} // namespace
} // namespace corvane
