// Buttons of the views reach the models, with the simulated box's agent behind them.
#include "app/services/BoxEndpoint.hpp"
#include "app/ui/ControllersTab.hpp"
#include "app/ui/UpdatesTab.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <QPushButton>

namespace corvane {
namespace {

class ViewButtons : public ::testing::Test {
protected:
    ViewButtons() {
        test::uiApp();
        ::setenv(BoxEndpoint::overrideVariable, address.c_str(), 1);
        agent.start();
        defaults = std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json");
        box = std::make_unique<BoxController>(
            BoxController::Environment{clock, pool, defaults, std::make_unique<test::NoCable>(), dir.path() / "keys"});
    }
    ~ViewButtons() override {
        box.reset();
        ::unsetenv(BoxEndpoint::overrideVariable);
    }
    bool pumpUntil(const std::function<bool()>& done) { return test::pumpUntil(clock, done); }
    std::string address = test::uniqueLoopbackAddress();
    boxsim::Agent agent{[this] {
        boxsim::Agent::Options options;
        options.address = address;
        return options;
    }()};
    test::TempDir dir;
    ManualClock clock;
    AppPool pool;
    std::shared_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<BoxController> box;
};

TEST_F(ViewButtons, InstallDriverAndCheckForUpdatesReachTheAgent) {
    ControllersTab controllers(*box);
    AgentClient::Info info;
    info.gamepadDriver = false;
    BoxControllerProbe::apply(*box, {.boxFound = true, .boxInfo = info});
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
