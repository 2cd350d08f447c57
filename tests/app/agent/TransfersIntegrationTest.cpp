#include "app/services/agent/AgentClient.hpp"
#include "app/services/agent/Downloader.hpp"
#include "app/services/agent/Uploader.hpp"

#include "boxsim/agent/Agent.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using boxsim::Agent;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

Agent::Reply hugeReply(std::uint64_t bytes, bool announceLength = true) {
    Agent::Reply reply;
    reply.hugeBytes = bytes;
    reply.announceLength = announceLength;
    return reply;
}

class TransfersTest : public ::testing::Test {
protected:
    void SetUp() override { agent.start(); }

    platform::HttpRequest fileRequest(const std::string& id, const std::string& path) {
        auto request = client.userURL({"outbox", id, "file"}, {{"path", path}});
        request.idleTimeoutSeconds = 60;
        return request;
    }
    platform::HttpRequest uploadRequest(const std::string& id, const std::string& path) {
        auto request = client.userURL({"drop", id, "file"}, {{"path", path}});
        request.method = "PUT";
        request.headers.emplace_back("Content-Type", "application/octet-stream");
        request.idleTimeoutSeconds = 60;
        return request;
    }

    std::string address = test::uniqueLoopbackAddress();
    Agent agent{[this] {
        Agent::Options o;
        o.address = address;
        return o;
    }()};
    AgentClient client{address, 47800};
    test::TempDir folder;
};

TEST_F(TransfersTest, ReceivedFilesNeverReplaceWhatIsThere) {
    const std::string content(300000, 'r');
    agent.addOutboxItem({"7", {{"report.pdf", content, std::nullopt}, {"a+b;c #1.txt", "odd", std::nullopt}}, {}, {}});
    writeFile(folder.path() / "report.pdf", "mine");
    writeFile(folder.path() / "report 2.pdf", "mine too");

    std::vector<double> reports;
    const auto placed = Downloader::downloadDirect(fileRequest("7", "report.pdf"), folder.path() / "report.pdf",
                                                   [&](std::optional<double> f) { reports.push_back(f.value_or(-1)); },
                                                   {}, static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(placed, folder.path() / "report 3.pdf");
    EXPECT_EQ(readFile(placed), content);
    EXPECT_EQ(readFile(folder.path() / "report.pdf"), "mine");
    EXPECT_EQ(readFile(folder.path() / "report 2.pdf"), "mine too");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 1.0);

    const auto odd = Downloader::downloadDirect(fileRequest("7", "a+b;c #1.txt"), folder.path() / "odd.txt", nullptr);
    EXPECT_EQ(readFile(odd), "odd");
    const auto seen = agent.seen("GET /v1/user/outbox/{id}/file");
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().query, (std::multimap<std::string, std::string>{{"path", "a+b;c #1.txt"}}));
    EXPECT_EQ(namesIn(folder.path()), (std::set<std::string>{"report.pdf", "report 2.pdf", "report 3.pdf", "odd.txt"}));
}

TEST_F(TransfersTest, AStoppedDownloadLeavesNothingBehind) {
    agent.addOutboxItem({"8", {{"big.bin", std::string(5000, 'b'), std::int64_t(100)}}, {}, {}});
    // Stopped half-way through a body that never ends.
    agent.script("GET /v1/user/outbox/{id}/file", hugeReply(std::uint64_t(1) << 40, false));
    std::stop_source stop;
    std::size_t reportsSeen = 0;
    EXPECT_THROW(Downloader::downloadDirect(fileRequest("8", "big.bin"), folder.path() / "big.bin",
                                            [&](std::optional<double> f) {
                                                EXPECT_FALSE(f);  // no length: one report of nothing
                                                if (++reportsSeen == 1) stop.request_stop();
                                            },
                                            stop.get_token()),
                 platform::HttpError);
    EXPECT_EQ(reportsSeen, 1u);
    EXPECT_TRUE(namesIn(folder.path()).empty());
}

TEST_F(TransfersTest, UploadsStreamTheFile) {
    const auto drop = client.dropBegin({"photo.jpg"});
    const fs::path file = folder.path() / "photo.jpg";
    std::string content(3 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    writeFile(file, content);

    std::vector<std::int64_t> sent;
    Uploader::upload(uploadRequest(drop.id, "photo.jpg"), file, [&](std::int64_t total) { sent.push_back(total); });
    EXPECT_EQ(agent.drops().at(0).files.at("photo.jpg"), content);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), static_cast<std::int64_t>(content.size()));
    EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));

    // A file that is not there fails before anything is sent.
    const auto before = agent.seen().size();
    EXPECT_THROW(Uploader::upload(uploadRequest(drop.id, "gone"), folder.path() / "gone", nullptr), platform::HttpError);
    EXPECT_EQ(agent.seen().size(), before);
}

} // namespace
} // namespace corvane
