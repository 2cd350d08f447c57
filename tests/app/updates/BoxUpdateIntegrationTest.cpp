#include "boxsim/Box.hpp"
#include "boxsim/agent/Agent.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include "tests/support/ChildProcesses.hpp"
#include "tests/support/RecordedRequests.hpp"

namespace corvane {
namespace {

using boxsim::Agent;
using Kind = UpdateManager::Status::Kind;
using Step = Agent::UpdateStep;
using Outcome = Agent::AgentRestart::Outcome;

bool accepts(const std::string& address, int port) {
    return test::runCommand("bash -c 'exec 3<>/dev/tcp/" + address + "/" + std::to_string(port) + "' 2>/dev/null").status == 0;
}

class BoxUpdateTest : public ::testing::Test {
protected:
    void SetUp() override { test::ensureApplication(), agent.start(); }
    // With `connect`, the box is connected and its first check done.
    std::unique_ptr<UpdateManager> make(bool connect = false, const std::string& sourceDir = "") {
        auto manager = std::make_unique<UpdateManager>(clock, pool, AgentClient(address, 47800, sent.transport()),
                                                       AppInfo{"1.0", test::kIdentifier, "", sourceDir});
        recorder.attach(*manager);
        if (connect) {
            manager->boxConnected(true);
            EXPECT_TRUE(test::pumpUntil(clock, [&] { return !manager->boxUpdates().empty(); }));
        }
        return manager;
    }
    // Runs until the manager is idle; an agent that restarts comes back at once.
    bool idle(UpdateManager& manager) {
        return test::pumpUntil(clock, [&] {
            if (manager.status().text == "Waiting for the box software to restart...") agent.comeBack();
            return !manager.isBusy();
        });
    }
    std::string address = test::uniqueLoopbackAddress();
    // The host's offer is the version it has: the manager lists what the box offers as it comes.
    Agent agent{[this] {
        Agent::Options o;
        o.address = address, o.available = {{"agent", "0.3.1"}, {"host", "1.0.0"}, {"gamepad", "2.0.0"}};
        return o;
    }()};
    ManualClock clock;
    AppPool pool;
    test::Recorder recorder;
    test::RecordedRequests sent;
};

TEST_F(BoxUpdateTest, EndsTheStreamThenFollowsTheAgentsMessagesAndNeverMovesProgressBackOrPastOne) {
    auto manager = make(true);
    manager->prepareForUpdate = [&]() -> QCoro::Task<> {
        // The stream is still ending: nothing may have been asked of the agent yet.
        EXPECT_TRUE(agent.seen("POST /v1/update").empty());
        co_await clock.sleep(2);
    };
    EXPECT_TRUE(manager->showResult());
    EXPECT_EQ(manager->boxHostVersion(), "1.0.0");
    EXPECT_EQ(manager->boxUpdates(), (std::vector<UpdateManager::BoxUpdate>{{"agent", "0.3.1"}, {"host", "1.0.0"}}));
    agent.scriptUpdateRun("host", {Step{"running", "Downloading", 0.2, {}}, Step{"running", "Installing", 0.1, {}},
                                   Step{"running", {}, -1, {}}, Step{"running", {}, 1.5, {}}, Step{"done", {}, 1, "1.1.0"}});
    manager->updateBox("host");
    // The box goes away while it updates: what it offered stays listed.
    manager->boxConnected(false);
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return !agent.seen("POST /v1/update").empty() && clock.sleepers() == 1; }));
    // The status is asked a second after the start, then every second, with 5 s to answer.
    clock.advance(0.99);
    EXPECT_TRUE(sent.like("GET /v1/update/status").empty());
    clock.advance(0.01);
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return sent.like("GET /v1/update/status").size() == 1; }));
    EXPECT_EQ(sent.like("GET /v1/update/status"), std::vector<std::string>{"GET /v1/update/status 5"});
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(std::vector(recorder.statuses.end() - 4, recorder.statuses.end()), (std::vector<std::string>{
        "updating: Preparing the corvane streamer update...", "updating: Downloading", "updating: Installing", "upToDate"}));
    EXPECT_EQ(recorder.progress, (std::vector<std::optional<double>>{std::nullopt, 0.0, 0.2, 1.0, std::nullopt}));
    EXPECT_EQ(manager->boxUpdates(), (std::vector<UpdateManager::BoxUpdate>{{"agent", "0.3.1"}}));
    EXPECT_NE(test::logTail().find("box update started: host"), std::string::npos);
    EXPECT_NE(test::logTail().find("box update finished: host 1.1.0"), std::string::npos);
}

// Gone while idle, the box takes what it offered with it; connected again, it is checked once more.
TEST_F(BoxUpdateTest, ABoxGoneWhileIdleTakesItsListedUpdatesWithIt) {
    auto manager = make(true);
    ASSERT_EQ(manager->boxUpdates().size(), 2u);
    manager->boxConnected(false);
    EXPECT_TRUE(manager->boxUpdates().empty());
    manager->boxConnected(true);
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->boxUpdates().empty(); }));
    EXPECT_EQ(agent.seen("GET /v1/updates").size(), 2u);
}

// The simulated box's streaming host closes its ports while its update installs; the agent stays up.
TEST_F(BoxUpdateTest, AHostUpdateClosesTheStreamingHostsPorts) {
    agent.stop();
    boxsim::Box::Options options;
    options.address = address;
    options.hostRestartSeconds = 3600;
    options.agent.available = {{"host", "1.1.0"}};
    boxsim::Box box(options);
    box.start();
    ASSERT_TRUE(accepts(address, 48089) && accepts(address, 48010) && accepts(address, 47984));
    auto manager = make();
    box.agent().scriptUpdateRun("host", {Step{"done", {}, 1, {}}});
    manager->updateBox("host");
    ASSERT_TRUE(test::pumpUntil(clock, [&] {
        return !manager->isBusy() && !accepts(address, 48089) && !accepts(address, 48010) && !accepts(address, 47984);
    }));
    EXPECT_EQ(manager->status().kind, Kind::upToDate);
    EXPECT_TRUE(accepts(address, 47800));
}

// The new box software has 90 tries, a second apart with 3 s each, to answer with its new version.
TEST_F(BoxUpdateTest, AnAgentComesBackWithItsNewVersionOrFailsAfterNinetyTries) {
    constexpr const char* kRestartText =
        "The box software could not restart itself to finish the update. Run the box setup on the box once more "
        "(Show Steps); after that, box updates install from here.";
    auto manager = make(true);
    const struct { Outcome outcome; const char* version; int closedTries; std::size_t asked; bool updated; } rows[] = {
        {Outcome::oldVersion, "0.4.0", 5, 85, false}, {Outcome::newVersion, "0.5.0", 90, 0, false},
        {Outcome::newVersion, "0.6.0", 89, 1, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.version);
        agent.scriptUpdateRun("agent", {Step{"running", "Installing", 0.5, {}}, Step{"done", {}, 1, row.version}});
        agent.setAgentRestart({3600, row.outcome});
        const auto before = agent.seen("GET /v1/info").size();
        manager->updateBox("agent");
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return manager->status().text == "Waiting for the box software to restart..."; }));
        // Tries that meet a closed port; then the agent comes back.
        for (int i = 0; i < row.closedTries && manager->isBusy(); ++i) {
            clock.advance(1);
            ASSERT_TRUE(test::pumpUntil(clock, [&] { return clock.sleepers() > 0 || !manager->isBusy(); }));
        }
        ASSERT_TRUE(idle(*manager));
        agent.comeBack();
        EXPECT_EQ(agent.seen("GET /v1/info").size() - before, row.asked);
        EXPECT_EQ(manager->status(), row.updated ? UpdateManager::Status::upToDate() : UpdateManager::Status::failed(kRestartText));
        EXPECT_EQ(manager->boxNeedsSetup(), !row.updated);
        EXPECT_TRUE(manager->showResult());
        EXPECT_EQ(manager->boxUpdates().front().component, row.updated ? "host" : "agent");  // a failed one stays
    }
    EXPECT_TRUE(recorder.saw("updating: Preparing the box software update..."));
    EXPECT_EQ(sent.like("GET /v1/info").back(), "GET /v1/info 3");
}

TEST_F(BoxUpdateTest, HowARunEnds) {
    // `trace`: a log line the run writes, or the status it shows first.
    struct Row { Step last; int failedPolls; std::string status; std::string trace; const char* component = "host"; };
    const Row rows[] = {
        {Step{"done", {}, 1, {}}, 30, "upToDate", "box update finished: host"},
        {Step{"done", {}, 1, {}}, 0, "upToDate", "updating: Preparing the controller driver update...", "gamepad"},
        {Step{"done", {}, 1, {}}, 0, "failed: Box answered 400: unknown component", "updating: Preparing the tool update...", "Tool"},
        {Step{"done", {}, 1, {}}, 31, "failed: Lost contact with the box during the update.",
         "box update failed: host: Lost contact with the box during the update."},
        {Step{"failed", "Disk full", 0, {}}, 0, "failed: Disk full", "box update failed: host: Disk full"},
        // Box text never forges log lines.
        {Step{"failed", "Bad\nbox update finished: host", 0, {}}, 0, "failed: Bad\nbox update finished: host",
         "box update failed: host: Bad\\nbox update finished: host"},
        {Step{"failed", {}, 0, {}}, 0, "failed: The box update failed.", "box update failed: host: The box update failed."},
    };
    auto manager = make();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        agent.scriptUpdateRun(row.component, {row.last});
        if (row.failedPolls) agent.script("GET /v1/update/status", Agent::Reply{.status = 500, .body = "{}", .times = row.failedPolls});
        manager->updateBox(row.component);
        ASSERT_TRUE(idle(*manager));
        EXPECT_EQ(recorder.statuses.back(), row.status);
        EXPECT_FALSE(manager->boxNeedsSetup());
        if (row.trace.starts_with("updating: ")) EXPECT_TRUE(recorder.saw(row.trace));
        else EXPECT_NE(test::logTail().find(row.trace), std::string::npos);
    }
}

TEST_F(BoxUpdateTest, UpdateAllGoesAgentFirstAppLastAndStopsAtAFailedStep) {
    // The build's log goes beside the source folder: within the test's own.
    test::TempDir dir;
    const auto source = dir.path() / "Corvane";
    std::filesystem::create_directories(source);
    test::writeFile(source / "VERSION", "2.0\n");
    test::writeFile(source / "build.sh", "echo '[1/2] compiling'\nexit 3\n");
    auto manager = make(true, source.string());
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    ASSERT_EQ(manager->pendingCount(), 3);
    // A failed first step ends the batch at once. Then the agent first, the app last, whose build fails.
    for (const char* first : {"failed", "done"}) {
        agent.scriptUpdateRun("agent", {Step{first, "No space", 0, {}}});
        agent.scriptUpdateRun("host", {Step{"done", {}, 1, {}}});
        manager->updateAll();
        ASSERT_TRUE(idle(*manager));
        EXPECT_EQ(manager->status().text, first == std::string("failed") ? "No space" : "The build failed. Details are in build.log in the Corvane folder.");
    }
    EXPECT_EQ(recorder.batchSteps, (std::vector<std::optional<std::string>>{std::nullopt, "1 of 3", std::nullopt, "1 of 3",
                                                                            "2 of 3", "3 of 3", std::nullopt}));
    const auto started = agent.seen("POST /v1/update");
    ASSERT_EQ(started.size(), 3u);
    EXPECT_NE(started[1].body.find("agent"), std::string::npos);
    EXPECT_NE(started[2].body.find("host"), std::string::npos);
    const auto log = test::logTail();
    ASSERT_NE(log.rfind("update all: 3 updates"), std::string::npos);
    EXPECT_EQ(log.find("update all: finished", log.rfind("update all: 3 updates")), std::string::npos);
    // Without a failure the batch finishes and shows it.
    test::writeFile(source / "VERSION", "1.0\n");
    agent.setUpdates({{"host", "1.0.0"}}, {{"host", "1.1.0"}}, true);
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    manager->updateAll();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->status().kind, Kind::upToDate);
    EXPECT_NE(test::logTail().find("update all: finished"), std::string::npos);
}

// Where the app cannot update itself (here the system's /usr), "Update All" updates the box's components
// and leaves the app alone: nothing is downloaded for it and the batch counts only the box's steps.
TEST_F(BoxUpdateTest, UpdateAllUpdatesTheBoxWhereTheAppCannotUpdateItself) {
    // The agent serves the feed on a path the manager never asks it for.
    const std::string archive = "http://" + address + ":47800/v1/user/outbox/1/file";
    agent.script("GET /v1/diagnostics", Agent::Reply{.body = "{\"version\": \"2.0\", \"url\": \"" + archive +
                                                             "\", \"sha256\": \"" + std::string(64, '0') + "\"}"});
    auto manager = std::make_unique<UpdateManager>(clock, pool, AgentClient(address, 47800, sent.transport()),
                                                   AppInfo{"1.0", test::kIdentifier, "http://" + address + ":47800/v1/diagnostics", ""});
    manager->runningBundleOverride = "/usr";
    recorder.attach(*manager);
    manager->boxConnected(true);
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->boxUpdates().empty(); }));
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    ASSERT_TRUE(manager->appUpdate().has_value());
    ASSERT_TRUE(manager->appUpdateObstacle().has_value());
    EXPECT_EQ(manager->pendingCount(), 2);
    agent.scriptUpdateRun("agent", {Step{"done", {}, 1, {}}});
    agent.scriptUpdateRun("host", {Step{"done", {}, 1, {}}});
    manager->updateAll();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->status().kind, Kind::upToDate);
    EXPECT_EQ(recorder.batchSteps, (std::vector<std::optional<std::string>>{std::nullopt, "1 of 2", "2 of 2", std::nullopt}));
    EXPECT_EQ(agent.seen("POST /v1/update").size(), 2u);
    EXPECT_TRUE(agent.seen("GET /v1/user/outbox/{id}/file").empty());
    EXPECT_NE(test::logTail().find("update all: finished"), std::string::npos);
}

// The demo's box offers nothing unless it is started with offers, and then what it was given: the app once
// offered its users the versions the box already had.
TEST_F(BoxUpdateTest, TheDemoBoxOffersOnlyWhatItIsStartedWith) {
    agent.stop();
    const struct { QStringList offers; std::vector<UpdateManager::BoxUpdate> listed; } rows[] = {
        {{}, {}},
        {{"--offer", "host=1.1.0", "--offer", "agent=0.4.0"}, {{"agent", "0.4.0"}, {"host", "1.1.0"}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.offers.join(" ").toStdString());
        QProcess boxsim;
        test::endsWithTest(boxsim);
        boxsim.start(CORVANE_BOXSIM_PROGRAM, QStringList{"--address", QString::fromStdString(address), "--no-media"} + row.offers);
        while (!boxsim.canReadLine() && boxsim.waitForReadyRead(15000)) {}
        ASSERT_TRUE(boxsim.readLine().startsWith("ready"));
        auto manager = make();
        manager->boxConnected(true);
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return manager->boxHostVersion() == "1.0.0"; }));  // it answered
        EXPECT_EQ(manager->boxUpdates(), row.listed);
        EXPECT_EQ(manager->showResult(), !row.listed.empty());  // the banner
        boxsim.terminate();
        ASSERT_TRUE(boxsim.waitForFinished(15000));
    }
}

TEST_F(BoxUpdateTest, AnAgentWithoutTheCheckNeedsSetupOtherFailuresOnlyLog) {
    // Connected: one check, however often it is said; gone while idle: the setup need is forgotten.
    for (const int code : {404, 405}) {
        agent.script("GET /v1/updates", Agent::Reply{.status = code, .body = "{}"});
        auto manager = make();
        manager->boxConnected(true);
        manager->boxConnected(true);
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return manager->boxNeedsSetup(); })) << code;
        EXPECT_TRUE(manager->boxUpdates().empty());
        EXPECT_TRUE(manager->showResult());
        manager->boxConnected(false);
        EXPECT_FALSE(manager->boxNeedsSetup());
    }
    EXPECT_EQ(agent.seen("GET /v1/updates").size(), 2u);
    auto manager = make(true);
    agent.script("GET /v1/updates", Agent::Reply{.status = 500, .body = "{\"error\":\"busy\"}"});
    manager->checkNow();
    ASSERT_TRUE(idle(*manager));
    EXPECT_EQ(manager->boxUpdates().size(), 2u);
    EXPECT_FALSE(manager->boxNeedsSetup());
    EXPECT_NE(test::logTail().find("box update check failed: Box answered 500: busy"), std::string::npos);
}

} // namespace
} // namespace corvane
