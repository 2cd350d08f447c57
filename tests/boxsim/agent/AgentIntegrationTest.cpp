#include "boxsim/agent/Agent.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

namespace corvane::boxsim {
namespace {

using namespace std::chrono_literals;

class BoxsimAgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        agent.start();
        http.set_read_timeout(20, 0);
    }

    std::string address = test::uniqueLoopbackAddress();
    Agent agent{[this] { Agent::Options o; o.address = address; return o; }()};
    httplib::Client http{address, 47800};
};

TEST_F(BoxsimAgentTest, RoutesOnRawSegmentsAndGivesReasons) {
    agent.addOutboxItem({"a/b", {{"f", "1", std::nullopt}}, std::nullopt, std::nullopt});
    // "a%2Fb" is the item "a/b"; "a/b" unescaped is a longer path that names nothing.
    EXPECT_EQ(http.Get("/v1/user/outbox/a%2Fb/file?path=f")->body, "1");
    EXPECT_EQ(http.Get("/v1/user/outbox/a/b/file?path=f")->status, 404);
    EXPECT_EQ(http.Post("/v1/info", "", "application/json")->status, 405);
    EXPECT_EQ(http.Get("/v1/" + std::string(7000, 'z'))->status, 404);
    EXPECT_EQ(agent.seen()[0].segments, (std::vector<std::string>{"v1", "user", "outbox", "a/b", "file"}));

    const auto pin = http.Post("/v1/pair", R"({"pin":"12a4","name":"n"})", "application/json");
    EXPECT_EQ(pin->status, 400);
    EXPECT_EQ(pin->body, R"({"error":"the PIN must be four digits"})");
    EXPECT_EQ(http.Get("/v1/user/clipboard?since=4294967296")->status, 400);
    EXPECT_EQ(http.Post("/v1/settings", R"({"unplugged_sleep_minutes":"5"})", "application/json")->status, 400);
    EXPECT_TRUE(agent.pins().empty());

    agent.setCursorVisible(false);
    EXPECT_EQ(http.Get("/v1/user/cursor")->body, R"({"visible":false})");
    EXPECT_EQ(http.Post("/v1/display/mode", R"({"width":1920})", "application/json")->status, 200);
    EXPECT_EQ(http.Post("/v1/user/wallpaper/refresh?reason=session%20start", "", "text/plain")->status, 200);
    EXPECT_EQ(agent.displayModeBodies(), std::vector<std::string>{R"({"width":1920})"});
    EXPECT_EQ(agent.wallpaperReasons(), std::vector<std::string>{"session start"});
}

TEST_F(BoxsimAgentTest, ScriptsAnswerInOrderThenTheBoxDoes) {
    EXPECT_THROW(agent.script("GET /v1/nothing", {}), std::invalid_argument);
    Agent::Reply twice;
    twice.status = 503;
    twice.body = "busy";
    twice.times = 2;
    agent.script("GET /v1/status", twice);
    Agent::Reply once;
    once.body = "[]";
    agent.script("GET /v1/status", once);
    EXPECT_EQ(http.Get("/v1/status")->status, 503);
    EXPECT_EQ(http.Get("/v1/status")->body, "busy");
    EXPECT_EQ(http.Get("/v1/status")->body, "[]");
    EXPECT_NE(http.Get("/v1/status")->body.find("uptime_seconds"), std::string::npos);
}

TEST_F(BoxsimAgentTest, StopEndsADelayedReplyAtOnce) {
    Agent::Reply late;
    late.delaySeconds = 60;
    agent.script("GET /v1/info", late);
    std::thread caller([&] { (void)http.Get("/v1/info"); });
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (agent.seen().empty() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(5ms);
    const auto start = std::chrono::steady_clock::now();
    agent.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    caller.join();
}

} // namespace
} // namespace corvane::boxsim
