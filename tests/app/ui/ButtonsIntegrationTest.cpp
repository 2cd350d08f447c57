// Views with the simulated box's agent behind them: buttons reach the agent; repaints follow changes only.
#include "app/ui/ControllersTab.hpp"
#include "app/ui/MainWindow.hpp"
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
