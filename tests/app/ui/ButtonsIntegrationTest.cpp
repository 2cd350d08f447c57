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

// One step of the wheel as the window system hands it over: to the widget under the pointer at `over`'s
// centre, from the device, so that a widget that refuses it passes it on to those holding it. Down is toward
// the page's end and a picker's next choice.
void wheelStep(QWidget& over, bool down) {
    QWidget* window = over.window();
    const QPoint at = over.mapTo(window, over.rect().center());
    QWidget* under = window->childAt(at);
    ASSERT_TRUE(under == &over || over.isAncestorOf(under));
    QWheelEvent step(under->mapFrom(window, at), window->mapToGlobal(at), {}, {0, down ? -120 : 120}, Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
    QSpontaneKeyEvent::setSpontaneous(&step);
    qApp->notify(under, &step);
}

// Over a picker, slider or number field of a settings page or the advanced sheet, on a screen too short for
// the page, the wheel scrolls the page and changes nothing, neither the stored settings nor the box;
// clicked into, the control takes the wheel, until the keyboard leaves it (Tab still reaches it). Controls a
// page gets later are held to the same rule.
TEST_F(ViewsWithTheAgent, TheWheelChangesOnlyAControlClickedInto) {
    using S = StreamSettings;
    AgentClient::Info info;
    info.settings = AgentClient::BoxSettings{30};
    setBox({.boxFound = true, .boxName = "Den", .boxInfo = info});
    SettingsWindow settings(*box);
    AdvancedStreamSheet sheet(*box, nullptr);
    auto* level = new QSlider(Qt::Horizontal);
    level->setRange(0, 100), level->setValue(50);
    settings.page(0)->addRow("Level", level);
    auto* count = new QSpinBox;
    count->setValue(50);
    sheet.findChild<SettingsPage*>()->addRow("Count", count);
    const struct {
        QWidget* window;
        int tab;  // of the settings window
        QWidget* control;
        std::function<bool()> reached;  // the change made where it goes, if anywhere
    } rows[] = {
        {&settings, 0, settings.page(0)->findChild<PopupPicker*>(), [&] {
             return agent.unpluggedSleepMinutes() == 60 && box->boxSleepMinutes() == 60;  // and the box read again
         }},
        {&settings, 1, settings.page(1)->findChildren<PopupPicker*>().at(2), [&] { return S::load(*defaults).mouse == S::MouseMode::games; }},
        {&settings, 0, level, {}},
        {&sheet, -1, sheet.findChildren<PopupPicker*>().at(0), [&] { return S::load(*defaults).bitrateMbps == 20; }},
        {&sheet, -1, count, {}},
    };
    const auto valueOf = [](QWidget* control) { return control->property(qobject_cast<QComboBox*>(control) ? "currentIndex" : "value").toInt(); };
    for (const auto& row : rows) {
        const std::string name = row.control->metaObject()->className();
        (row.window == &settings ? static_cast<QWidget&>(sheet) : settings).hide();
        if (row.tab >= 0) settings.tabs()->setCurrentIndex(row.tab);
        row.window->show();
        row.window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(row.window)) << name;
        QCoreApplication::processEvents();  // the window's own fitting to the screen done
        // A screen shorter than the page.
        row.window->setFixedHeight(300);
        QScrollArea* scroll = nullptr;
        for (QWidget* up = row.control; up && !scroll; up = up->parentWidget()) scroll = qobject_cast<QScrollArea*>(up);
        ASSERT_TRUE(scroll) << name;
        QScrollBar* bar = scroll->verticalScrollBar();
        const auto refused = [&](const char* how) {
            const std::string stored = test::readWhole(dir.path() / "defaults.json");
            const int value = valueOf(row.control);
            QCoreApplication::processEvents();
            scroll->ensureWidgetVisible(row.control);
            const int scrolled = bar->value();
            QWidget* keyboard = QApplication::focusWidget();
            wheelStep(*row.control, scrolled < bar->maximum());
            EXPECT_NE(bar->value(), scrolled) << name << how;
            EXPECT_EQ(QApplication::focusWidget(), keyboard) << name << how;
            EXPECT_EQ(valueOf(row.control), value) << name << how;
            EXPECT_EQ(test::readWhole(dir.path() / "defaults.json"), stored) << name << how;
        };
        refused("");
        // Clicked into; a picker's list opened by the click is closed again, and the window has the keyboard back.
        QTest::mouseClick(row.control, Qt::LeftButton, {}, row.control->rect().center());
        if (auto* picker = qobject_cast<QComboBox*>(row.control)) picker->hidePopup();
        QCoreApplication::processEvents();  // the list's own activation, late on this platform, is over
        EXPECT_TRUE(QTest::qWaitFor([&] {
            if (QApplication::activeWindow() != row.window) row.window->activateWindow();
            return QApplication::activeWindow() == row.window;
        })) << name;
        ASSERT_TRUE(row.control->hasFocus()) << name;
        const int clicked = valueOf(row.control);
        wheelStep(*row.control, true);
        EXPECT_NE(valueOf(row.control), clicked) << name;
        if (row.reached) { EXPECT_TRUE(pumpUntil(row.reached)) << name; }
        // The keyboard leaves by Tab and comes back: the click counts no more.
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab);
        EXPECT_FALSE(row.control->hasFocus()) << name;
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Backtab);
        ASSERT_TRUE(row.control->hasFocus()) << name;
        refused(" back by Tab");
    }
    // The box heard of the one change made by the wheel after a click.
    EXPECT_EQ(agent.seen("POST /v1/settings").size(), 1u);
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
