#include "app/services/agent/AgentClient.hpp"
#include "app/services/agent/Downloader.hpp"
#include "app/services/agent/Uploader.hpp"

#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using boxsim::Agent;

class TransfersTest : public ::testing::Test {
protected:
    void SetUp() override { agent.start(); }
    std::string address = test::uniqueLoopbackAddress();
    Agent agent{[this] {
        Agent::Options o;
        o.address = address;
        return o;
    }()};
    AgentClient client{address, 47800};
    test::TempDir folder;
};

TEST_F(TransfersTest, AStoppedDownloadLeavesNothingBehind) {
    agent.addOutboxItem({"8", {{"big.bin", std::string(5000, 'b'), std::int64_t(100)}}, {}, {}});
    // Stopped half-way through a body that never ends.
    Agent::Reply endless;
    endless.hugeBytes = std::uint64_t(1) << 40, endless.announceLength = false;
    agent.script("GET /v1/user/outbox/{id}/file", endless);
    std::stop_source stop;
    std::size_t reportsSeen = 0;
    auto request = client.userURL({"outbox", "8", "file"}, {{"path", "big.bin"}});
    EXPECT_THROW(Downloader::downloadDirect(request, folder.path() / "big.bin",
                                            [&](std::optional<double> f) {
                                                EXPECT_FALSE(f);  // no length: one report of nothing
                                                if (++reportsSeen == 1) stop.request_stop();
                                            },
                                            stop.get_token()),
                 platform::HttpError);
    EXPECT_EQ(reportsSeen, 1u);
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST_F(TransfersTest, AMissingFileFailsBeforeAnythingIsSent) {
    const auto drop = client.dropBegin({"gone"});
    const auto before = agent.seen().size();
    auto request = client.userURL({"drop", drop.id, "file"}, {{"path", "gone"}});
    request.method = "PUT";
    EXPECT_THROW(Uploader::upload(request, folder.path() / "gone", nullptr), platform::HttpError);
    EXPECT_EQ(agent.seen().size(), before);
}

} // namespace
} // namespace corvane
