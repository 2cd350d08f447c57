// Views with the simulated box's agent behind them: buttons reach the agent; repaints follow changes only.
#include "app/ui/ControllersTab.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/Pickers.hpp"
#include "app/ui/SettingsPage.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <QCoroTask>
#include <gmock/gmock.h>
#include <QMenu>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QSpontaneKeyEvent>
#include <QWheelEvent>

namespace corvane {
namespace {

class ViewsWithTheAgent : public test::UiFixture {
protected:
    ViewsWithTheAgent() { agent.start(); }
    bool pumpUntil(const std::function<bool()>& done) { return test::pumpUntil(clock, done); }
    boxsim::Agent agent{[this] {
        boxsim::Agent::Options options;
        options.address = address;
        options.installed.erase("gamepad");  // no driver yet: the box offers one
        options.available = {{"gamepad", "2.0.0"}};
        return options;
    }()};
};

TEST_F(ViewsWithTheAgent, InstallDriverAndCheckForUpdatesReachTheAgent) {
    ControllersTab controllers(*box);
    AgentClient::Info info;
    info.gamepadDriver = false;
    setBox({.boxFound = true, .boxInfo = info});
    agent.scriptUpdateRun("gamepad", {boxsim::Agent::UpdateStep{"done", {}, 1, {}}});
    for (auto* button : controllers.findChildren<QPushButton*>())
        if (button->text() == "Install Controller Driver") button->click();
    EXPECT_TRUE(pumpUntil([&] { return !agent.seen("POST /v1/update").empty() && !box->updates().isBusy(); }));
    ASSERT_FALSE(agent.seen("POST /v1/update").empty());
    UpdatesTab updates(*box);
    box->updates().boxConnected(true);
    ASSERT_TRUE(pumpUntil([&] { return !box->updates().isBusy(); }));
    const auto before = agent.seen("GET /v1/updates").size();
    updates.findChild<QPushButton*>("checkForUpdates")->click();
    EXPECT_TRUE(pumpUntil([&] { return agent.seen("GET /v1/updates").size() > before && !box->updates().isBusy(); }));
}

// One wheel step down (up), handed over as the window system does: to the widget under the pointer at `over`'s
// centre, from the device, so that a widget refusing it passes it on to those holding it.
void wheelStep(QWidget& over, bool down) {
    QWidget* window = over.window();
    const QPoint at = over.mapTo(window, over.rect().center());
    QWidget* under = window->childAt(at);
    QWheelEvent step(under->mapFrom(window, at), window->mapToGlobal(at), {}, {0, down ? -120 : 120}, {}, {}, Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&step);
    qApp->notify(under, &step);
}

// On a screen shorter than the page, the wheel over a picker, slider or number field of a settings tab or the
// advanced sheet (one added later too) scrolls the page and changes nothing, stored or on the box, also with
// the keyboard on it by Tab; clicked into, the control takes it, until a click beside it or the keyboard leaves.
TEST_F(ViewsWithTheAgent, TheWheelChangesOnlyAControlClickedInto) {
    AgentClient::Info info;
    info.settings = AgentClient::BoxSettings{30};
    setBox({.boxFound = true, .boxInfo = info});
    SettingsWindow settings(*box);
    AdvancedStreamSheet sheet(*box, nullptr);
    auto* level = new QSlider(Qt::Horizontal);
    auto* count = new QSpinBox;
    level->setValue(50), count->setValue(50);
    settings.page(0)->addRow("Level", level), sheet.findChild<SettingsPage*>()->addRow("Count", count);
    const struct { QWidget* window; int tab; QWidget* control; } rows[] = {
        {&settings, 0, settings.page(0)->findChild<PopupPicker*>()}, {&settings, 1, settings.page(1)->findChildren<PopupPicker*>().at(2)},
        {&settings, 0, level}, {&sheet, 0, sheet.findChildren<PopupPicker*>().at(0)}, {&sheet, 0, count}};
    StreamSettings expected = box->settings();
    expected.mouse = StreamSettings::MouseMode::games, expected.bitrateMbps = 20;
    const auto valueOf = [](QWidget* c) { return c->property(qobject_cast<QComboBox*>(c) ? "currentIndex" : "value").toInt(); };
    for (const auto& row : rows) {
        settings.tabs()->setCurrentIndex(row.tab), row.window->show();
        const auto active = [&row] {
            QCoreApplication::processEvents();  // a late activation of this platform's (a picker's list) comes first
            return QTest::qWaitFor([&row] { return row.window->activateWindow(), QApplication::activeWindow() == row.window; });
        };
        ASSERT_TRUE(active());
        row.window->setFixedHeight(300);  // a screen shorter than the page
        auto* scroll = row.window == &sheet ? sheet.findChild<QScrollArea*>() : static_cast<QScrollArea*>(settings.tabs()->currentWidget());
        const auto refused = [&, name = std::string(row.control->metaObject()->className())](const char* how) {
            QCoreApplication::processEvents();
            scroll->ensureWidgetVisible(row.control);
            const int scrolled = scroll->verticalScrollBar()->value(), value = valueOf(row.control);
            QWidget* keyboard = QApplication::focusWidget();
            wheelStep(*row.control, scrolled < scroll->verticalScrollBar()->maximum());
            EXPECT_NE(scroll->verticalScrollBar()->value(), scrolled) << name << how;
            EXPECT_TRUE(valueOf(row.control) == value && QApplication::focusWidget() == keyboard) << name << how;
        };
        // Clicked into (a picker's list that opens is closed again), the control takes the wheel.
        const auto clickInto = [&] {
            scroll->ensureWidgetVisible(row.control);
            QTest::mouseClick(row.control, Qt::LeftButton, {}, row.control->rect().center());
            if (auto* picker = qobject_cast<QComboBox*>(row.control)) picker->hidePopup();
            return active() && row.control->hasFocus();
        };
        refused("");
        ASSERT_TRUE(clickInto());
        const int clicked = valueOf(row.control);
        wheelStep(*row.control, true);
        EXPECT_NE(valueOf(row.control), clicked);
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab), QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Backtab);
        ASSERT_TRUE(row.control->hasFocus());
        refused(" back by Tab");
        ASSERT_TRUE(clickInto());
        QTest::mouseClick(row.control->parentWidget()->findChild<QLabel*>("rowLabel"), Qt::LeftButton);
        refused(" after a click beside it");
    }
    // Only the changes made after a click are stored and reach the box.
    EXPECT_TRUE(pumpUntil([&] { return box->boxSleepMinutes() == 60; }));
    EXPECT_EQ(agent.seen("POST /v1/settings").size(), 1u);
    EXPECT_TRUE(StreamSettings::load(*defaults) == expected);
}

// Paints of one window's widgets and items put into or taken from one menu, application-wide.
struct Redraws final : QObject {
    QWidget* window;
    QMenu* menu;
    int paints = 0, menuEdits = 0;
    Redraws(QWidget* w, QMenu* m) : window(w), menu(m) { qApp->installEventFilter(this); }
    ~Redraws() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* target, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(target);
        paints += event->type() == QEvent::Paint && widget && widget->window() == window;
        menuEdits += target == menu && (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved);
        return false;
    }
};

// The controller's own passes against the box, a minute of them with nothing new: the box's uptime moves
// within its minute (the agent counts it from its start), and nothing is drawn again.
TEST_F(ViewsWithTheAgent, AMinuteWithNothingNewRepaintsNothing) {
    cable->address = address;
    edit([](StreamSettings& s) { s.autoConnect = false; });
    setBox({.paired = true});
    MainWindow window(*box);
    TrayMenu tray(*box, {});
    window.show();
    const auto pass = [&] {
        QCoro::waitFor(box->tick());
        Q_EMIT box->changed();  // as a detail no view shows would
        clock.advance(1);
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    };
    // The box's status comes back beside the passes, not within one: on a busy machine a few passes later.
    ASSERT_TRUE(QTest::qWaitFor([&] {
        pass();
        return box->phase().is(BoxController::Phase::Kind::ready) && box->boxStatus();
    }, 30000));
    pass();
    const Redraws redraws(&window, tray.menu());
    for (int second = 0; second < 60; ++second) pass();
    EXPECT_EQ(redraws.paints, 0);
    EXPECT_EQ(redraws.menuEdits, 0);
}

// A box under more than full load: the overlay shows each figure as the main window's load card does.
TEST_F(ViewsWithTheAgent, AnOverloadedBoxReadsAlikeInTheOverlayAndTheLoadCard) {
    agent.script("GET /v1/status", {.body = R"({"cpu_percent": 137.4, "gpu_percent": 250, "memory_used": 1,
        "memory_total": 2, "disk_free": 1, "disk_total": 2, "temperature_c": 48, "uptime_seconds": 60})", .times = 0});
    cable->address = address;
    edit([](StreamSettings& s) { s.autoConnect = false; });
    setBox({.paired = true});
    MainWindow window(*box);
    window.show();
    StatsOverlay& overlay = box->statsOverlay();
    overlay.start(0, StatsOverlay::Position::topRight, true, box->settings().statsInfo());
    ASSERT_TRUE(QTest::qWaitFor([&] {
        QCoro::waitFor(box->tick());
        clock.advance(1);
        QCoreApplication::processEvents();
        return overlay.boxStatus().has_value();
    }, 30000));
    EXPECT_EQ(StatsCard::box(overlay), "GPU 250%, CPU 137%, 48 \u00B0C");
    EXPECT_THAT(test::shownTexts(window), testing::HasSubstr("~Graphics\n250%\n~Processor\n137%\n"));
    overlay.stop();
}

} // namespace
} // namespace corvane
