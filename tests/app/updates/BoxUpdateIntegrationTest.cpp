#include "app/updates/UpdateManager.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <gtest/gtest.h>
#include <fstream>

namespace corvane {
namespace {

using boxsim::Agent;
using Kind = UpdateManager::Status::Kind;
using Step = Agent::UpdateStep;

constexpr const char* kRestartText =
    "The box software could not restart itself to finish the update. Run the box setup on the box once more "
    "(Show Steps); after that, box updates install from here.";

class BoxUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ensureApplication();
        agent.start();
    }
    std::unique_ptr<UpdateManager> make(AppInfo info = AppInfo{"1.0", "org.corvane.Corvane", "", ""}) {
        auto manager = std::make_unique<UpdateManager>(clock, pool, AgentClient(address, 47800), std::move(info));
        recorder.attach(*manager);
        return manager;
    }
    // Connects the box and waits for its first check.
    std::unique_ptr<UpdateManager> connected(AppInfo info = AppInfo{"1.0", "org.corvane.Corvane", "", ""}) {
        auto manager = make(std::move(info));
        manager->boxConnected(true);
        EXPECT_TRUE(test::pumpUntil(clock, [&] { return !agent.seen("GET /v1/updates").empty() && !manager->boxUpdates().empty(); }));
        return manager;
    }
    bool idle(UpdateManager& manager) { return test::pumpUntil(clock, [&] { return !manager.isBusy(); }); }
    std::string address = test::uniqueLoopbackAddress();
    Agent agent{[this] {
        Agent::Options options;
        options.address = address;
        return options;
    }()};
    ManualClock clock;
    AppPool pool;
    test::Recorder recorder;
};

TEST_F(BoxUpdateTest, FollowsTheAgentsMessagesAndNeverMovesProgressBackOrPastOne) {
    auto manager = connected();
    EXPECT_TRUE(manager->showResult());
    EXPECT_EQ(manager->boxUpdates(), (std::vector<UpdateManager::BoxUpdate>{{"agent", "0.3.1"}, {"host", "1.0.0"}}));
    EXPECT_EQ(manager->boxHostVersion(), "1.0.0");
    agent.scriptUpdateRun("host", {Step{"running", "Downloading", 0.2, {}}, Step{"running", "Installing", 0.1, {}},
                                   Step{"running", {}, -1, {}}, Step{"running", {}, 1.5, {}}, Step{"done", {}, 1, "1.1.0"}});
    manager->updateBox("host");
    // The box goes away while it updates: what it offered stays listed.
    manager->boxConnected(false);
    ASSERT_TRUE(idle(*manager));
    const std::vector<std::string> expected = {"updating: Preparing the corvane streamer update...",
                                               "updating: Downloading", "updating: Installing", "upToDate"};
    EXPECT_EQ(std::vector<std::string>(recorder.statuses.end() - 4, recorder.statuses.end()), expected);
    EXPECT_EQ(recorder.progress, (std::vector<std::optional<double>>{std::nullopt, 0.0, 0.2, 1.0, std::nullopt}));
    EXPECT_EQ(manager->boxUpdates(), (std::vector<UpdateManager::BoxUpdate>{{"agent", "0.3.1"}}));
    EXPECT_NE(test::logTail().find("box update finished: host 1.1.0"), std::string::npos);
}

TEST_F(BoxUpdateTest, PreparingTextsNameEachComponentAndTheStreamEndsFirst) {
    auto manager = make();
    int prepared = 0;
    manager->prepareForUpdate = [&]() -> QCoro::Task<> {
        ++prepared;
        // The stream is still ending: nothing may have been asked of the agent yet.
        EXPECT_EQ(agent.seen("POST /v1/update").size(), static_cast<std::size_t>(prepared - 1));
        co_await clock.sleep(2);
    };
    agent.setAgentRestart({0, Agent::AgentRestart::Outcome::newVersion});
    const std::pair<const char*, const char*> rows[] = {{"agent", "box software"},
                                                        {"host", "corvane streamer"},
                                                        {"gamepad", "controller driver"}};
    for (const auto& [component, name] : rows) {
        agent.scriptUpdateRun(component, {Step{"done", {}, 1, {}}});
        manager->updateBox(component);
        EXPECT_EQ(manager->status().text, std::string("Preparing the ") + name + " update...");
        ASSERT_TRUE(idle(*manager));
        EXPECT_EQ(manager->status().kind, Kind::upToDate) << component;
    }
    EXPECT_EQ(prepared, 3);
}

TEST_F(BoxUpdateTest, AnAgentRestartedWithItsNewVersionFinishesTheUpdate) {
    agent.setUpdates({{"agent", "0.3.0"}}, {{"agent", "0.4.0"}}, false);
    auto manager = connected();
    EXPECT_FALSE(manager->boxNeedsSetup());
    agent.scriptUpdateRun("agent", {Step{"running", "Installing", 0.5, {}}, Step{"done", {}, 1, "0.4.0"}});
    agent.setAgentRestart({5, Agent::AgentRestart::Outcome::newVersion});
    manager->updateBox("agent");
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return manager->status().text == "Waiting for the box software to restart..."; }));
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->status().kind, Kind::upToDate);
    EXPECT_TRUE(manager->boxUpdates().empty());
    EXPECT_FALSE(manager->boxNeedsSetup());
    EXPECT_EQ(agent.seen("GET /v1/info").size(), 6u);
}

TEST_F(BoxUpdateTest, HowAHostRunEnds) {
    struct Row { Step last; int failedPolls; std::string status; std::string logLine; };
    const Row rows[] = {
        {Step{"done", {}, 1, {}}, 30, "upToDate", ""},
        {Step{"done", {}, 1, {}}, 31, "failed: Lost contact with the box during the update.",
         "box update failed: host: Lost contact with the box during the update."},
        {Step{"failed", "Disk full", 0, {}}, 0, "failed: Disk full", "box update failed: host: Disk full"},
        // Box text never forges log lines.
        {Step{"failed", "Bad\nbox update finished: host", 0, {}}, 0, "failed: Bad\nbox update finished: host",
         "box update failed: host: Bad\\x0abox update finished: host"},
        {Step{"failed", {}, 0, {}}, 0, "failed: The box update failed.", ""},
    };
    auto manager = make();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        agent.scriptUpdateRun("host", {row.last});
        if (row.failedPolls) agent.script("GET /v1/update/status", Agent::Reply{.status = 500, .body = "{}", .times = row.failedPolls});
        manager->updateBox("host");
        ASSERT_TRUE(idle(*manager));
        EXPECT_EQ(recorder.statuses.back(), row.status);
        EXPECT_FALSE(manager->boxNeedsSetup());
        if (!row.logLine.empty()) {
            EXPECT_NE(test::logTail().find(row.logLine), std::string::npos);
        }
    }
}

TEST_F(BoxUpdateTest, UpdateAllInstallsTheAgentFirstAndTheAppLast) {
    test::TempDir source;
    std::ofstream(source.path() / "VERSION") << "2.0\n";
    std::ofstream(source.path() / "build.sh") << "echo '[1/2] compiling'\nexit 3\n";
    auto manager = connected(AppInfo{"1.0", "org.corvane.Corvane", "", source.path().string()});
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    ASSERT_EQ(manager->pendingCount(), 3);
    agent.scriptUpdateRun("agent", {Step{"done", {}, 1, {}}});
    agent.scriptUpdateRun("host", {Step{"done", {}, 1, {}}});
    manager->updateAll();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(recorder.batchSteps, (std::vector<std::optional<std::string>>{std::nullopt, "1 of 3", "2 of 3", "3 of 3",
                                                                            std::nullopt}));
    const auto started = agent.seen("POST /v1/update");
    ASSERT_EQ(started.size(), 2u);
    EXPECT_NE(started[0].body.find("agent"), std::string::npos);
    EXPECT_NE(started[1].body.find("host"), std::string::npos);
    // The build failed: the batch ends on that failure.
    EXPECT_EQ(manager->status(), UpdateManager::Status::failed("The build failed. Details are in build.log in the Corvane folder."));
    const auto log = test::logTail();
    EXPECT_NE(log.find("update all: 3 updates"), std::string::npos);
    EXPECT_EQ(log.find("update all: finished"), std::string::npos);
}

TEST_F(BoxUpdateTest, UpdateAllStopsAtAFailedStepAndFinishesOnlyWithoutOne) {
    auto manager = connected();
    agent.scriptUpdateRun("agent", {Step{"failed", "No space", 0, {}}});
    manager->updateAll();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(agent.seen("POST /v1/update").size(), 1u);
    EXPECT_EQ(manager->status(), UpdateManager::Status::failed("No space"));
    EXPECT_EQ(manager->batchStep(), std::nullopt);
    EXPECT_EQ(test::logTail().find("update all: finished"), std::string::npos);
    manager->dismissResult();
    agent.scriptUpdateRun("agent", {Step{"done", {}, 1, {}}});
    agent.scriptUpdateRun("host", {Step{"done", {}, 1, {}}});
    manager->updateAll();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->status().kind, Kind::upToDate);
    EXPECT_TRUE(manager->showResult());
    EXPECT_TRUE(manager->boxUpdates().empty());
    EXPECT_NE(test::logTail().find("update all: finished"), std::string::npos);
}

TEST_F(BoxUpdateTest, AnAgentKeepingItsOldVersionFailsAfterNinetyTries) {
    auto manager = connected();
    agent.scriptUpdateRun("agent", {Step{"done", {}, 1, "0.3.1"}});
    agent.setAgentRestart({0, Agent::AgentRestart::Outcome::oldVersion});
    manager->updateBox("agent");
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->status(), UpdateManager::Status::failed(kRestartText));
    EXPECT_TRUE(manager->boxNeedsSetup());
    EXPECT_TRUE(manager->showResult());
    EXPECT_EQ(manager->progress(), std::nullopt);
    EXPECT_EQ(agent.seen("GET /v1/info").size(), 90u);
    // The entry stays, to be tried again.
    EXPECT_EQ(manager->boxUpdates().front().component, "agent");
}

TEST_F(BoxUpdateTest, AnAgentWithoutTheCheckNeedsSetupOtherFailuresOnlyLog) {
    for (const int code : {404, 405}) {
        agent.script("GET /v1/updates", Agent::Reply{.status = code, .body = "{}"});
        auto manager = make();
        manager->boxConnected(true);
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return manager->boxNeedsSetup(); })) << code;
        EXPECT_TRUE(manager->boxUpdates().empty());
        EXPECT_TRUE(manager->showResult());
    }
    auto manager = connected();
    agent.script("GET /v1/updates", Agent::Reply{.status = 500, .body = "{\"error\":\"busy\"}"});
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->boxUpdates().size(), 2u);
    EXPECT_FALSE(manager->boxNeedsSetup());
    EXPECT_NE(test::logTail().find("box update check failed: Box answered 500: busy"), std::string::npos);
}

} // namespace
} // namespace corvane
