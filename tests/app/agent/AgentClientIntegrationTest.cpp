#include "app/services/agent/AgentClient.hpp"

#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

using namespace std::chrono_literals;
using boxsim::Agent;
using platform::HttpError;

Agent::Reply hugeReply(std::uint64_t bytes, bool announceLength = true) {
    Agent::Reply reply;
    reply.hugeBytes = bytes;
    reply.announceLength = announceLength;
    return reply;
}

class AgentClientTest : public ::testing::Test {
protected:
    Agent::Options options() {
        Agent::Options o;
        o.address = address;
        o.enterPin = [this](std::string pin) {
            std::lock_guard lock(mutex);
            enteredPins.push_back(std::move(pin));
        };
        return o;
    }

    void SetUp() override { agent.start(); }

    template <class Error, class Call>
    Error failure(Call call) {
        try {
            call();
        } catch (const Error& error) {
            return error;
        }
        throw std::runtime_error("the call did not fail as expected");
    }

    void answer(const std::string& endpoint, int status, std::string body) {
        agent.script(endpoint, Agent::Reply{.status = status, .body = std::move(body)});
    }

    std::string address = test::uniqueLoopbackAddress();
    std::mutex mutex;
    std::vector<std::string> enteredPins;
    Agent agent{options()};
    AgentClient client{address, 47800};
};

TEST_F(AgentClientTest, BoxStateAndPairing) {
    const AgentClient::Info info = client.info();
    EXPECT_EQ(info.product, "Corvane Host");
    EXPECT_EQ(info.boxName, "corvane-box");
    EXPECT_TRUE(info.sharing.value().available);
    EXPECT_EQ(info.wake.value().front().mac, "02:00:00:00:00:01");
    EXPECT_EQ(client.status().memoryTotal, std::uint64_t(32) << 30);

    // The PIN reaches the box's streaming host; the body carries the device name and the target.
    EXPECT_TRUE(client.pair("0427", "My Laptop", true));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(enteredPins, std::vector<std::string>{"0427"});
    }
    const auto pairs = agent.seen("POST /v1/pair");
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(pairs[0].body),
              (nlohmann::json{{"pin", "0427"}, {"name", "My Laptop"}, {"target", "host"}}));
    EXPECT_EQ(client.info().streamingHost->pairedClients, 1);

    auto unpair = client.url({"v1", "unpair-all"});
    unpair.method = "POST";
    client.send(unpair, 10);
    EXPECT_EQ(agent.pairedClients(), 0);
    EXPECT_EQ(agent.seen("POST /v1/unpair-all").at(0).contentType, "");  // no body, no content type

    client.setUnpluggedSleep(0);
    EXPECT_EQ(agent.unpluggedSleepMinutes(), 0);
    EXPECT_EQ(client.info().settings->unpluggedSleepMinutes, 0);

    EXPECT_NE(client.diagnostics().find("agent: 0.3.0"), std::string::npos);
    client.power("restart");
    EXPECT_EQ(agent.powerActions(), std::vector<std::string>{"restart"});
    const auto unknown = failure<AgentClient::AgentError>([&] { client.power("explode"); });
    EXPECT_STREQ(unknown.what(), "Box answered 400: unknown action");
}

TEST_F(AgentClientTest, BoxUpdatesRunToTheEnd) {
    const auto updates = client.checkUpdates(false);
    EXPECT_EQ(updates.available.at("agent"), "0.3.1");
    client.checkUpdates(true);
    EXPECT_EQ(agent.seen("GET /v1/updates").at(1).target, "/v1/updates?force=1");

    client.startUpdate("agent");
    AgentClient::UpdateStatus state;
    for (int i = 0; i < 10 && state.state != "done"; ++i)
        state = AgentClient::UpdateStatus::decode(client.send(client.url({"v1", "update", "status"}), 5));
    EXPECT_EQ(state.state, "done");
    EXPECT_EQ(client.info().agentVersion, "0.3.1");
    EXPECT_EQ(failure<AgentClient::AgentError>([&] { client.startUpdate("nothing"); }).code, 400);
}

TEST_F(AgentClientTest, SharingEndpoints) {
    // Clipboard: nothing yet, then the Mac's text, then Windows' own.
    EXPECT_FALSE(client.clipboard(0));
    const std::uint32_t seq = client.setClipboard(std::string("hello ☃"), std::nullopt);
    EXPECT_EQ(seq, 1u);
    agent.setWindowsClipboardText("from Windows");
    const auto clip = client.clipboard(seq);
    EXPECT_EQ(clip.value().seq, 2u);
    EXPECT_EQ(clip->text, "from Windows");
    EXPECT_FALSE(client.clipboard(4294967295u));
    EXPECT_EQ(agent.seen("GET /v1/user/clipboard").back().target, "/v1/user/clipboard?since=4294967295");
    // Both given: only the picture goes.
    client.setClipboard(std::string("ignored"), Bytes{0x89, 'P', 'N', 'G'});
    EXPECT_EQ(nlohmann::json::parse(agent.seen("POST /v1/user/clipboard").back().body),
              (nlohmann::json{{"type", "png"}, {"png", "iVBORw=="}}));

    // A drop: begin, a folder, finish; links.
    const auto drop = client.dropBegin({"Fotos", "a+b;c.txt"});
    EXPECT_EQ(drop.names, (std::vector<std::string>{"Fotos", "a+b;c.txt"}));
    auto dir = client.userURL({"drop", drop.id, "dir"}, {{"path", "Fotos/été & #1"}});
    dir.method = "POST";
    client.send(dir, 15);
    client.dropFinish(drop.id);
    client.openURL("https://example.org/a?b=c&d=e#f");
    EXPECT_EQ(agent.drops().at(0).dirs, std::vector<std::string>{"Fotos/été & #1"});
    EXPECT_TRUE(agent.drops().at(0).finished);
    EXPECT_EQ(agent.openedLinks(), std::vector<std::string>{"https://example.org/a?b=c&d=e#f"});
    EXPECT_EQ(agent.seen("POST /v1/user/drop/{id}/finish").at(0).body, "{}");

    // Outbox: listed, then done. An id with a "/" stays one segment on the wire and at the box.
    agent.addOutboxItem({"a/b", {{"x.txt", "xx", std::nullopt}}, std::vector<std::string>{"d"}, std::nullopt});
    const auto items = client.outbox();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].totalBytes, 2);
    client.outboxDone(items[0].id);
    EXPECT_TRUE(agent.outbox().empty());
    EXPECT_EQ(agent.seen("POST /v1/user/outbox/{id}/done").at(0).target, "/v1/user/outbox/a%2Fb/done");
}

TEST_F(AgentClientTest, RefusalsCarryTheAgentsText) {
    answer("GET /v1/info", 500, R"({"error":"disk full"})");
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.info(); }).what(), "Box answered 500: disk full");
    answer("GET /v1/info", 404, "not here");
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.info(); }).what(), "Box answered 404: not here");
    answer("GET /v1/status", 500, "");
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.status(); }).what(), "Box answered 500: ");
    answer("GET /v1/status", 500, R"({"error":17})");
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.status(); }).what(), R"(Box answered 500: {"error":17})");
    // The clipboard poll never looks for "error".
    answer("GET /v1/user/clipboard", 400, R"({"error":"bad"})");
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.clipboard(1); }).what(), R"(Box answered 400: {"error":"bad"})");
    // An agent without an endpoint at all.
    auto missing = client.url({"v1", "nothing"});
    EXPECT_EQ(failure<AgentClient::AgentError>([&] { client.send(missing, 3); }).code, 404);

    // Ignored replies: any 2xx passes, whatever its body; a typed reply needs its JSON.
    answer("POST /v1/power/{action}", 204, "");
    answer("POST /v1/user/open-url", 201, "garbage");
    EXPECT_NO_THROW(client.power("shutdown"));
    EXPECT_NO_THROW(client.openURL("https://example.org"));
    answer("GET /v1/info", 204, "");
    EXPECT_EQ(failure<AgentClient::DecodeError>([&] { client.info(); }).kind, AgentClient::DecodeError::Kind::dataCorrupted);
}

TEST_F(AgentClientTest, StrictAndLooseDecodingOnTheWire) {
    answer("GET /v1/info", 200, R"({"product":"P","agent_version":"1","box_name":"B","gamepad_driver":1})");
    const auto wrongType = failure<AgentClient::DecodeError>([&] { client.info(); });
    EXPECT_EQ(wrongType.kind, AgentClient::DecodeError::Kind::typeMismatch);
    EXPECT_EQ(wrongType.path, "gamepad_driver");
    answer("GET /v1/user/outbox", 200, R"({"items":[{"id":"1","files":[{"path":"a"}],"total_bytes":0}]})");
    const auto lacking = failure<AgentClient::DecodeError>([&] { client.outbox(); });
    EXPECT_EQ(lacking.path, "items[0].files[0].size");
    answer("POST /v1/user/drop", 200, R"({"id":"T9","dest":"C:\\x","names":"one"})");
    EXPECT_THROW(client.dropBegin({"one"}), AgentClient::DecodeError);

    answer("POST /v1/pair", 200, R"({"paired":"yes"})");
    EXPECT_FALSE(client.pair("1234", "n", true));
    answer("POST /v1/pair", 200, "");
    EXPECT_THROW(client.pair("1234", "n", true), AgentClient::DecodeError);
    answer("POST /v1/user/clipboard", 200, R"({"ok":true})");
    EXPECT_EQ(client.setClipboard(std::nullopt, std::nullopt), 0u);
    EXPECT_EQ(agent.seen("POST /v1/user/clipboard").back().body, "{}");
}

TEST_F(AgentClientTest, UnsafeNamesNeverLeaveTheMachine) {
    EXPECT_THROW(client.outboxDone(".."), AgentClient::RequestError);
    EXPECT_THROW(client.dropFinish(std::string("T1\0", 3)), AgentClient::RequestError);
    EXPECT_THROW(client.dropBegin({"fine", "new\nline"}), AgentClient::RequestError);
    EXPECT_THROW(client.power(""), AgentClient::RequestError);
    // Text that is not UTF-8 cannot be written as JSON.
    EXPECT_THROW(client.openURL("\xC3("), AgentClient::RequestError);
    EXPECT_TRUE(agent.seen().empty());
}

TEST_F(AgentClientTest, RepliesAreCappedAnnouncedOrNot) {
    agent.script("GET /v1/diagnostics", hugeReply(std::uint64_t(1) << 30));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure<HttpError>([&] { client.diagnostics(); }).kind, HttpError::Kind::tooLarge);
    agent.script("GET /v1/info", hugeReply(AgentClient::kMaxReplyBytes + 1, false));
    EXPECT_EQ(failure<HttpError>([&] { client.info(); }).kind, HttpError::Kind::tooLarge);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
}

TEST_F(AgentClientTest, SilenceEndsARequestAndAStopEndsItSooner) {
    const Agent::Reply late{.body = "{}", .delaySeconds = 60};  // cut short when the agent stops
    agent.script("GET /v1/info", late);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure<HttpError>([&] { client.info(); }).kind, HttpError::Kind::timedOut);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 2900ms);  // the information request allows 3 s
    EXPECT_LT(waited, 9s);

    agent.script("GET /v1/status", late);
    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure<HttpError>([&] { client.status(stop.get_token()); }).kind, HttpError::Kind::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stopper.join();
}

TEST(AgentClientNoBoxTest, NoRouteIsTheTransportsError) {
    const AgentClient client(test::uniqueLoopbackAddress(), 47800);
    EXPECT_THROW(client.info(), HttpError);
    EXPECT_THROW(client.clipboard(0), HttpError);
}

} // namespace
} // namespace corvane
