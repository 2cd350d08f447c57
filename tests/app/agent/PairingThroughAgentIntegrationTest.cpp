#include "app/services/agent/AgentClient.hpp"

#include "boxsim/Box.hpp"
#include "engine/BoxHost.hpp"
#include "tests/support/SimulatedBox.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvane {
namespace {

// The way the app pairs: the engine draws the PIN and the approval hands it to the box agent, which
// enters it into the streaming host beside it. No test hook reaches into the box.
TEST(PairingThroughAgentTest, TheAgentEntersThePinAndTheHostPairs) {
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    boxsim::Box::Options options;
    options.address = address;
    boxsim::Box box(options);
    box.start();
    auto host = test::boxHostFor(address, dir.path());
    const AgentClient agent(address, 47800);
    bool agentSaidPaired = false;
    host->pair("Corvane", [&](const std::string& pin, std::stop_token stop) {
        agentSaidPaired = agent.pair(pin, "Corvane", true, stop);
    });
    EXPECT_TRUE(agentSaidPaired);
    EXPECT_EQ(host->pairState(), stream::BoxHost::PairState::paired);
    ASSERT_TRUE(host->pairedServerInfo().has_value());
    box.stop();
}

}  // namespace
}  // namespace corvane
