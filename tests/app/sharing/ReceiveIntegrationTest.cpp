#include "tests/app/sharing/SharingTestSupport.hpp"

#include <limits>
#include <set>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using boxsim::Agent;

std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        out.insert(fs::relative(entry.path(), root).generic_string() + (entry.is_directory() ? "/" : ""));
    return out;
}

class ReceiveTest : public test::SharingFixture {
protected:
    void SetUp() override {
        SharingFixture::SetUp();
        settings.shareClipboard = false;  // only the outbox moves here
        settings.receiveFolder = inbox.string();
        fs::create_directories(inbox);
        turnOn();
    }
    // One outbox tick, run to its end.
    void tick() {
        clock.advance(SharingManager::kOutboxPeriod);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->outboxBusy(); }, 20000));
    }
    fs::path inbox = folder.path() / "Downloads";
};

TEST_F(ReceiveTest, NamesNeverReplaceAndTheNoticeFollowsTheNameUsedEvenForNoItems) {
    test::writeFile(inbox / "report.pdf", "mine");
    test::writeFile(inbox / "report 2.pdf", "mine too");
    test::writeFile(inbox / "Photos" / "old.jpg", "old");
    fs::create_symlink(inbox / "nowhere", inbox / "Link");  // dangling: still a taken name
    agent.addOutboxItem({"1", {{"report.pdf", "R", std::nullopt}}, {}, {}});
    agent.addOutboxItem({"2", {{"Photos/a.jpg", "A", std::nullopt}, {"Photos/sub/b.jpg", "B", std::nullopt}},
                         std::vector<std::string>{"Photos/empty"}, {}});
    agent.addOutboxItem({"3", {}, std::vector<std::string>{"Link"}, {}});
    agent.addOutboxItem({"4", {}, {}, {}});
    tick();
    EXPECT_EQ(test::readWhole(inbox / "report 3.pdf"), "R");
    EXPECT_EQ(test::readWhole(inbox / "report.pdf"), "mine");
    EXPECT_EQ(manager->hud().title(), "Saved report.pdf to " + inbox.filename().string());
    tick();
    EXPECT_EQ(tree(inbox / "Photos 2"), (std::set<std::string>{"a.jpg", "sub/", "sub/b.jpg", "empty/"}));
    EXPECT_EQ(tree(inbox / "Photos"), (std::set<std::string>{"old.jpg"}));
    EXPECT_EQ(manager->hud().title(), "Saved Photos to " + inbox.filename().string());
    tick();
    EXPECT_TRUE(fs::is_directory(inbox / "Link 2"));
    EXPECT_TRUE(fs::is_symlink(inbox / "Link"));
    tick();
    EXPECT_EQ(manager->hud().title(), "Saved 0 items to " + inbox.filename().string());
    EXPECT_TRUE(agent.outbox().empty());  // each one told done
    EXPECT_NE(logTail().find("receive from Windows: 0 file(s), 0 bytes"), std::string::npos);
    EXPECT_NE(logTail().find("receive from Windows: saved to " + inbox.string()), std::string::npos);
}

TEST_F(ReceiveTest, HostilePathsNeverLeaveTheFolder) {
    const std::string longest(255, 'n');
    std::vector<Agent::OutboxFile> files;
    for (const auto& path : {std::string("../evil.txt"), std::string("./dot.txt"), std::string("Box/../../up.txt"),
                             std::string("Box/ctl\x01.txt"), std::string("Box/del\x7f"), std::string("Box/nul\0x", 9),
                             "Box/" + longest + "n", std::string("..")})
        files.push_back({path, "x", std::nullopt});
    files.push_back({"/Box//ok.txt", "fine", std::nullopt});
    files.push_back({"Box/" + longest, "longest", std::nullopt});
    agent.addOutboxItem({"h", files, std::vector<std::string>{"..", ".", "Box/../../dir"}, {}});
    fs::create_directories(inbox / "inside");
    tick();
    EXPECT_FALSE(manager->hud().failed()) << manager->hud().title();
    EXPECT_EQ(tree(inbox), (std::set<std::string>{"inside/", "Box/", "Box/ok.txt", "Box/" + longest}));
    std::set<std::string> outside;
    for (const auto& entry : fs::directory_iterator(inbox.parent_path())) outside.insert(entry.path().filename());
    EXPECT_EQ(outside, std::set<std::string>{"Downloads"});
    EXPECT_EQ(manager->hud().title(), "Saved Box to " + inbox.filename().string());
}

// Each failure: no done, nothing under a final name, not tried again in this run.
TEST_F(ReceiveTest, FailedDownloadIsReportedOnceAndLeavesNothing) {
    const struct { const char* name; Agent::OutboxFile file; std::optional<Agent::Reply> reply; std::string text; } cases[] = {
        {"status", {"a.txt", "abc", std::nullopt}, Agent::Reply{500, R"({"error":"gone"})"}, "The server answered with error 500."},
        {"more than stated", {"b.txt", std::string(5000, 'b'), 10}, std::nullopt, ""},
        {"negative size", {"c.txt", "ccc", -5}, std::nullopt, ""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "f" + std::to_string(n++);
        if (c.reply) agent.script("GET /v1/user/outbox/{id}/file", *c.reply);
        agent.addOutboxItem({id, {c.file}, {}, {}});
        tick();
        EXPECT_TRUE(manager->hud().failed());
        EXPECT_EQ(manager->hud().title().rfind("Could not receive from Windows: " + c.text, 0), 0u) << manager->hud().title();
        EXPECT_TRUE(tree(inbox).empty());
        const auto fileRequests = requests("GET /v1/user/outbox/{id}/file");
        tick();
        tick();
        EXPECT_EQ(requests("GET /v1/user/outbox/{id}/file"), fileRequests);  // not retried
    }
    EXPECT_EQ(requests("POST /v1/user/outbox/{id}/done"), 0u);
    EXPECT_EQ(agent.outbox().size(), std::size(cases));
    EXPECT_NE(logTail().find("receive from Windows failed: The server answered with error 500."), std::string::npos);
}

TEST_F(ReceiveTest, HugeStatedSizesKeepProgressInRangeAndShortBodiesFail) {
    agent.addOutboxItem({"big", {{"x.bin", "12345", std::numeric_limits<std::int64_t>::max()},
                                 {"y.bin", "12", std::numeric_limits<std::int64_t>::max()}},
                         {}, std::numeric_limits<std::int64_t>::max()});
    std::vector<double> shown;
    QObject::connect(&manager->hud(), &TransferHUD::changed, [&] {
        if (auto p = manager->hud().progress()) shown.push_back(*p);
    });
    tick();
    // A body shorter than the size the box stated is no whole file: nothing is kept.
    EXPECT_TRUE(manager->hud().failed());
    EXPECT_EQ(manager->hud().title(), "Could not receive from Windows: The download ended after 5 of "
                                      "68719476736 bytes.");  // sizes are capped at 64 GiB
    EXPECT_TRUE(tree(inbox).empty());
    for (double p : shown) EXPECT_TRUE(p >= 0.0 && p <= 1.0) << p;
}

TEST_F(ReceiveTest, ASendAcceptedWhileTheListIsOutGoesFirst) {
    test::writeFile(folder.path() / "send-me.txt", "s");
    agent.addOutboxItem({"w", {{"w.txt", "w", std::nullopt}}, {}, {}});
    agent.script("GET /v1/user/outbox",
                 Agent::Reply{200, R"({"items":[{"id":"w","files":[{"path":"w.txt","size":1}],"total_bytes":1}]})",
                              "application/json", 0.5});
    agent.script("POST /v1/user/drop/{id}/finish", Agent::Reply{200, "{}", "application/json", 1.5});  // still busy then
    clock.advance(SharingManager::kOutboxPeriod);
    ASSERT_TRUE(manager->outboxBusy());
    manager->send({folder.path() / "send-me.txt"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->outboxBusy(); }, 10000));
    EXPECT_EQ(requests("GET /v1/user/outbox/{id}/file"), 0u);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(manager->hud().title(), "Copied send-me.txt to Desktop on Windows");
    tick();  // the item was left for this tick
    EXPECT_EQ(test::readWhole(inbox / "w.txt"), "w");
}

} // namespace
} // namespace corvane
