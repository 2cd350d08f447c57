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
    try {
        client.power("explode");
        ADD_FAILURE() << "no error";
    } catch (const AgentClient::AgentError& error) {
        EXPECT_STREQ(error.what(), "Box answered 400: unknown action");
    }
    client.startUpdate("agent");
    AgentClient::UpdateStatus state;
    for (int i = 0; i < 10 && state.state != "done"; ++i)
        state = AgentClient::UpdateStatus::decode(client.send(client.url({"v1", "update", "status"}), 5));
    EXPECT_EQ(client.info().agentVersion, "0.3.1");
}

TEST(AgentClientNoBoxTest, NoRouteIsTheTransportsError) {
    const AgentClient client(test::uniqueLoopbackAddress(), 47800);
    EXPECT_THROW(client.info(), HttpError);
    EXPECT_THROW(client.clipboard(0), HttpError);
}

} // namespace
} // namespace corvane
