#include "app/services/agent/AgentClient.hpp"

#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace corvane {
namespace {

using boxsim::Agent;
using platform::HttpError;

class AgentOnBoxTest : public ::testing::Test {
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

    std::string address = test::uniqueLoopbackAddress();
    std::mutex mutex;
    std::vector<std::string> enteredPins;
    Agent agent{options()};
    AgentClient client{address, 47800};
};

TEST_F(AgentOnBoxTest, BoxStateAndPairing) {
    const AgentClient::Info info = client.info();
    EXPECT_EQ(info.boxName, "corvane-box");
    EXPECT_EQ(info.wake.value().front().mac, "02:00:00:00:00:01");
    EXPECT_EQ(client.status().memoryTotal, std::uint64_t(32) << 30);

    // The PIN reaches the box's streaming host.
    EXPECT_TRUE(client.pair("0427", "My Laptop", true));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(enteredPins, std::vector<std::string>{"0427"});
    }
    EXPECT_EQ(client.info().streamingHost->pairedClients, 1);
    auto unpair = client.url({"v1", "unpair-all"});
    unpair.method = "POST";
    client.send(unpair, 10);
    EXPECT_EQ(agent.pairedClients(), 0);
    EXPECT_EQ(agent.seen("POST /v1/unpair-all").at(0).contentType, "");  // no body, no content type

    client.setUnpluggedSleep(0);
    EXPECT_EQ(client.info().settings->unpluggedSleepMinutes, 0);
    EXPECT_NE(client.diagnostics().find("agent: 0.3.0"), std::string::npos);
    EXPECT_STREQ(failure<AgentClient::AgentError>([&] { client.power("explode"); }).what(),
                 "Box answered 400: unknown action");

    client.startUpdate("agent");
    AgentClient::UpdateStatus state;
    for (int i = 0; i < 10 && state.state != "done"; ++i)
        state = AgentClient::UpdateStatus::decode(client.send(client.url({"v1", "update", "status"}), 5));
    EXPECT_EQ(client.info().agentVersion, "0.3.1");
}

TEST_F(AgentOnBoxTest, SharingRoundTrips) {
    EXPECT_FALSE(client.clipboard(0));
    const std::uint32_t seq = client.setClipboard(std::string("hello \xE2\x98\x83"), std::nullopt);
    agent.setWindowsClipboardText("from Windows");
    EXPECT_EQ(client.clipboard(seq).value().text, "from Windows");

    const auto drop = client.dropBegin({"Fotos", "a+b;c.txt"});
    EXPECT_EQ(drop.names, (std::vector<std::string>{"Fotos", "a+b;c.txt"}));
    auto dir = client.userURL({"drop", drop.id, "dir"}, {{"path", "Fotos/\xC3\xA9t\xC3\xA9 & #1"}});
    dir.method = "POST";
    client.send(dir, 15);
    client.dropFinish(drop.id);
    EXPECT_EQ(agent.drops().at(0).dirs, std::vector<std::string>{"Fotos/\xC3\xA9t\xC3\xA9 & #1"});
    EXPECT_TRUE(agent.drops().at(0).finished);

    // An id with a "/" stays one segment on the wire and at the box.
    agent.addOutboxItem({"a/b", {{"x.txt", "xx", std::nullopt}}, std::vector<std::string>{"d"}, std::nullopt});
    const auto items = client.outbox();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].totalBytes, 2);
    client.outboxDone(items[0].id);
    EXPECT_TRUE(agent.outbox().empty());
}

TEST(AgentClientNoBoxTest, NoRouteIsTheTransportsError) {
    const AgentClient client(test::uniqueLoopbackAddress(), 47800);
    EXPECT_THROW(client.info(), HttpError);
    EXPECT_THROW(client.clipboard(0), HttpError);
}

} // namespace
} // namespace corvane
