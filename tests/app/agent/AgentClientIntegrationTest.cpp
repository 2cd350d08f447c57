#include "app/services/agent/AgentClient.hpp"

#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane {
namespace {

using boxsim::Agent;
using platform::HttpError;

class AgentOnBoxTest : public ::testing::Test {
protected:
    void SetUp() override { agent.start(); }
    std::string address = test::uniqueLoopbackAddress();
    Agent agent{[this] {
        Agent::Options o;
        o.address = address;
        return o;
    }()};
    AgentClient client{address, 47800};
};

TEST_F(AgentOnBoxTest, BoxStateAndPairing) {
    const AgentClient::Info info = client.info();
    EXPECT_EQ(info.boxName, "corvane-box");
    EXPECT_EQ(info.wake.value().front().mac, "02:00:00:00:00:01");
    EXPECT_EQ(client.status().memoryTotal, std::uint64_t(32) << 30);

    EXPECT_TRUE(client.pair("0427", "My Laptop", true));
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
