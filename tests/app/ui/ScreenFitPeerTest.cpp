// Every window fits the screen's free area and every button of every phase and tab can be scrolled into
// view and pressed: on a 1366x768 screen, and at scale 2 on a 1920x1080 one (a 960x540 desktop). The test
// runs itself again on a virtual display of each kind, under openbox.
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/AdvancedStreamSheet.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <cstdlib>

namespace corvane {
namespace {

using Kind = BoxController::Phase::Kind;

const struct {
    const char* screen;  // Xvfb's screen, WxHxDepth
    const char* scale;   // QT_SCALE_FACTOR
} screens[] = {{"1366x768x24", "1"}, {"1920x1080x24", "2"}};

class OnThisScreen final : public test::UiFixture {
public:
    OnThisScreen() : UiFixture(true) {}
    void TestBody() override {}

    // The frame inside the free area once the window manager has framed it; then each button that can be
    // used now, brought into view by the scroll area holding it, is the widget found under its centre on
    // the X server and goes down when pressed there (released outside it, so nothing is done).
    void check(QWidget& window, const std::string& where) {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window)) << where;
        const QRect area = window.screen()->availableGeometry();
        EXPECT_TRUE(QTest::qWaitFor([&] {
            const QRect frame = window.frameGeometry();
            return frame.height() > window.height() && area.contains(frame) && QApplication::topLevelAt(frame.center()) == &window;
        })) << where << ": frame " << text(window.frameGeometry()) << " in " << text(area);
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
};

TEST(ScreenFitTest, EveryWindowPhaseAndTabOnSmallScreens) {
    if (!std::getenv("CORVANE_TEST_SCALE")) {
        for (const auto& row : screens) {
            const auto run = test::runCommand(std::string("CORVANE_TEST_SCREEN=") + row.screen + " CORVANE_TEST_SCALE=" + row.scale +
                                              " /proc/" + std::to_string(::getpid()) + "/exe --gtest_filter='*OnSmallScreens*' 2>&1");
            EXPECT_TRUE(run.status == 0 && run.output.find("[       OK ] ") != std::string::npos) << row.screen << "\n" << run.output;
        }
        return;
    }
    OnThisScreen on;
    on.everyWindow();
    EXPECT_GT(on.pressed, 50);
}

} // namespace
} // namespace corvane
