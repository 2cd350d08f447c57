// Every window fits the screen's free area, every button of every phase and tab can be scrolled into view
// and pressed, and no label's or button's text is cut: on 1920x1080 and 1366x768 screens and at scale 2 on a
// 1920x1080 one (a 960x540 desktop), each in the light and the dark look. The test runs itself again on a
// virtual display of each kind, under openbox.
// CORVANE_KEEP_SCREENSHOTS names a folder that keeps what the X server shows of each window.
#include "app/controller/Appearance.hpp"
#include "tests/app/ui/TextFit.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <algorithm>
#include <cstdlib>

namespace corvane {
namespace {
// Xvfb's screen, QT_SCALE_FACTOR and the look.
const char* const screens[][3] = {{"1366x768x24", "1", "light"}, {"1920x1080x24", "2", "dark"}, {"1920x1080x24", "1", "dark"},
                                  {"1366x768x24", "1", "dark"}, {"1920x1080x24", "2", "light"}, {"1920x1080x24", "1", "light"}};

class OnThisScreen final : public test::UiFixture {
public:
    OnThisScreen() : UiFixture(true) {}
    void TestBody() override {}
    using UiFixture::everyWindow;

    // The frame inside the free area once the window manager has framed it. Nothing waits to be shown, runs
    // past the window's side or is squeezed below its text's height. Each button that can be used now,
    // brought into view by the scroll area holding it, is the widget found under its centre on the X server
    // and goes down when pressed there (released outside it, so nothing is done).
    void check(QWidget& window, const std::string& where) {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window)) << where;
        const QRect area = window.screen()->availableGeometry();
        EXPECT_TRUE(QTest::qWaitFor([&] {
            const QRect frame = window.frameGeometry();
            return frame.height() > window.height() && area.contains(frame) && QApplication::topLevelAt(frame.center()) == &window;
        })) << where << ": frame " << std::unique_ptr<char[]>(QTest::toString(window.frameGeometry())).get();
        for (QWidget* w : window.findChildren<QWidget*>()) {
            auto* label = qobject_cast<QLabel*>(w);
            const std::string what = where + ": " + w->metaObject()->className() + " " + (label ? label->text().toStdString() : "");
            if (w->isWindow()) continue;
            if (w->parentWidget()->isVisible() && !w->testAttribute(Qt::WA_WState_ExplicitShowHide)) { EXPECT_FALSE(w->isHidden()) << what; }
            if (!w->isVisible()) continue;
            EXPECT_LE(w->mapTo(&window, QPoint(w->width(), 0)).x(), window.width()) << what;
            if (label && label->wordWrap()) { EXPECT_GE(label->height(), label->heightForWidth(label->width())) << what; }
        }
        EXPECT_EQ(test::cutTexts(window), "") << where;
        // Waiting runs the event loop, where work the app finished on its threads may build a window's rows
        // again: a button of the old rows is hidden and then gone, and the new rows' buttons are pressed too.
        std::vector<QPointer<QAbstractButton>> buttons;
        for (QAbstractButton* button : window.findChildren<QAbstractButton*>()) buttons.emplace_back(button);
        const auto usable = [&window](const QPointer<QAbstractButton>& button) {
            return button && button->isVisibleTo(&window) && button->isEnabled();
        };
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            const QPointer<QAbstractButton> button = buttons[i];
            if (!usable(button)) continue;
            for (QWidget* up = button->parentWidget(); up && up != &window; up = up->parentWidget())
                if (auto* scroll = qobject_cast<QScrollArea*>(up)) scroll->ensureWidgetVisible(button, 0, 0);
            QPoint centre;
            const std::string name = button->text().toStdString() + " " + button->objectName().toStdString();
            EXPECT_TRUE(QTest::qWaitFor([&] {
                if (!usable(button)) return true;
                centre = button->mapToGlobal(button->rect().center());
                QWidget* hit = QApplication::widgetAt(centre);
                return area.contains(centre) && (hit == button || button->isAncestorOf(hit));
            }, 10000)) << where << ": " << name;
            if (!usable(button)) {
                for (QAbstractButton* now : window.findChildren<QAbstractButton*>())
                    if (std::find(buttons.begin(), buttons.end(), now) == buttons.end()) buttons.emplace_back(now);
                continue;
            }
            const QSignalBlocker quiet(button);
            QTest::mousePress(button, Qt::LeftButton, {}, button->mapFromGlobal(centre));
            EXPECT_TRUE(button->isDown()) << where << ": " << button->text().toStdString();
            QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(-4, -4));
            ++pressed;
        }
        window.repaint();
        if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS"))
            window.screen()->grabWindow(window.winId()).save(QString("%1/%2-%3.png").arg(keep, look, QString::fromStdString(where)));
    }
    // Box text at its longest where it shows: a name past its cut in the main window and on the General
    // tab, versions of 100 KB on the Updates tab and in the update rows, a graphics card named at length.
    void boxTexts() {
        const std::string name(120, 'W'), version(100 << 10, '7');
        MainWindow main(*box);
        SettingsWindow settings(*box);
        AgentClient::Info info;
        info.boxName = name, info.agentVersion = version;
        AgentClient::BoxStatus status = load;
        status.gpuName = std::string(300, 'G');
        setBox({.phase = phase(BoxController::Phase::Kind::ready), .linkUp = true, .boxFound = true, .paired = true,
                .boxName = name, .boxInfo = info, .boxStatus = status});
        setUpdates({.appUpdate = UpdateManager::AppUpdate{version, std::nullopt, {}}, .boxUpdates = {{"host", version}},
                    .boxHostVersion = version});
        check(main, "main, box text");
        main.hide();
        for (int tab = 0; tab < settings.tabs()->count(); ++tab) {
            settings.tabs()->setCurrentIndex(tab);
            check(settings, settings.tabs()->tabText(tab).toStdString() + ", box text");
        }
    }
    // Where the app cannot update itself: its advice, with a long folder, in the banner's row and failure and
    // on the Updates tab, whole.
    void appAdvice() {
        const std::string advice = "Corvane can't update itself in /home/someone/.local/opt/a-folder-name-long-enough-to-"
                                   "wrap-anywhere/bin: that folder belongs to another user. Install the new version the way "
                                   "you installed this one, or install Corvane in ~/.local, where it updates itself.";
        const UpdateManager::AppUpdate app{"2.0", "Faster.", {}};
        for (const auto& [state, name] : {std::pair{UpdateManagerProbe::State{.appUpdate = app, .boxUpdates = {{"host", "1.1"}},
                                                                              .appUpdateObstacle = advice}, "advice"},
                                          std::pair{UpdateManagerProbe::State{.status = UpdateManager::Status::failed(advice),
                                                                              .appUpdate = app, .appUpdateObstacle = advice}, "advice failed"}}) {
            // Windows of their own, as the app opens them with an update waiting or failed.
            setUpdates(state);
            MainWindow main(*box);
            SettingsWindow settings(*box);
            settings.tabs()->setCurrentIndex(settings.tabs()->count() - 1);
            const auto whole = [&advice](QWidget& window, const std::string& where) {
                const auto found = test::wholeText(window, advice);
                EXPECT_EQ(found.faults, "") << where;
                EXPECT_GE(found.shown, 1) << where;
            };
            check(main, std::string("main, ") + name);
            whole(main, std::string("main, ") + name);
            main.hide();
            check(settings, std::string("Updates, ") + name);
            whole(settings, std::string("Updates, ") + name);
            settings.hide();
        }
    }
    int pressed = 0;
    QString look;
};

TEST(ScreenFitTest, EveryWindowPhaseAndTabOnSmallScreens) {
    if (!std::getenv("CORVANE_TEST_SCALE")) {
        for (const auto& [screen, scale, look] : screens) {
            const auto run = test::runCommand(std::string("CORVANE_TEST_SCREEN=") + screen + " CORVANE_TEST_SCALE=" + scale +
                                              " CORVANE_TEST_LOOK=" + look + " /proc/" + std::to_string(::getpid()) +
                                              "/exe --gtest_filter='*OnSmallScreens*' 2>&1");
            EXPECT_EQ(run.status, 0) << screen << "\n" << run.output;
            EXPECT_NE(run.output.find("[       OK ] "), std::string::npos) << screen;
        }
        return;
    }
    OnThisScreen on;
    on.look = std::getenv("CORVANE_TEST_LOOK");
    Appearance::apply(on.look.toStdString());
    on.everyWindow([&on](QWidget& window, const std::string& name) { on.check(window, name); });
    on.boxTexts();
    on.appAdvice();
    Appearance::apply(std::nullopt);
    EXPECT_GT(on.pressed, 50);
}

} // namespace
} // namespace corvane
