// Buttons of the views reach the models, with the simulated box's agent behind them.
#include "app/ui/ControllersTab.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <QPushButton>

namespace corvane {
namespace {

class ViewButtons : public test::UiFixture {
protected:
    ViewButtons() { agent.start(); }
    bool pumpUntil(const std::function<bool()>& done) { return test::pumpUntil(clock, done); }
    boxsim::Agent agent{[this] {
        boxsim::Agent::Options options;
        options.address = address;
        return options;
    }()};
};

TEST_F(ViewButtons, InstallDriverAndCheckForUpdatesReachTheAgent) {
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
    pumpUntil([&] { return !box->updates().isBusy(); });
    const auto before = agent.seen("GET /v1/updates").size();
    updates.findChild<QPushButton*>("checkForUpdates")->click();
    EXPECT_TRUE(pumpUntil([&] { return agent.seen("GET /v1/updates").size() > before && !box->updates().isBusy(); }));
}

} // namespace
} // namespace corvane
