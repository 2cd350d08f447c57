#include "app/services/agent/AgentClient.hpp"

#include "boxsim/Box.hpp"
#include "engine/BoxHost.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/keystore/KeyStore.hpp"
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

    auto host = std::make_shared<stream::BoxHost>(
        address, 48089, stream::ClientIdentityStore("Corvane Stream Client", platform::KeyStore(dir.path() / "keys")),
        std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json"));
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
