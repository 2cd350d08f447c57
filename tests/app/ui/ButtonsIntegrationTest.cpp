// Views with the simulated box's agent behind them: repaints follow changes only.
#include "app/ui/MainWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QCoroTask>
#include <QMenu>

namespace corvane {
namespace {

class ViewsWithTheAgent : public test::UiFixture {
protected:
    ViewsWithTheAgent() { agent.start(); }
    boxsim::Agent agent{[this] {
        boxsim::Agent::Options options;
        options.address = address;
        return options;
    }()};
};

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

TEST_F(ViewsWithTheAgent, AMinuteWithNothingNewRepaintsNothing) {
    cable->address = address;
    StreamSettings settings = box->settings();
    settings.autoConnect = false;
    box->setSettings(settings);
    setBox({.paired = true});
    MainWindow window(*box);
    TrayMenu tray(*box, {});
    window.show();
    const auto pass = [&] {
        QCoro::waitFor(box->tick());
        Q_EMIT box->changed();  // as a detail no view shows would (the box's uptime in seconds)
        clock.advance(1);
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    };
    pass();
    ASSERT_TRUE(box->phase().is(BoxController::Phase::Kind::ready));
    ASSERT_TRUE(box->boxStatus());
    pass();
    const Redraws redraws(&window, tray.menu());
    for (int second = 0; second < 60; ++second) pass();
    EXPECT_EQ(redraws.paints, 0);
    EXPECT_EQ(redraws.menuEdits, 0);
}

} // namespace
} // namespace corvane
