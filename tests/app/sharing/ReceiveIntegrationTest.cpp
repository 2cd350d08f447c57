#include "tests/app/sharing/SharingTestSupport.hpp"
#include <QTimer>
#include <fcntl.h>
#include <limits>
#include <map>
#include <set>
#include <sys/file.h>
#include <unistd.h>

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
    // One outbox tick (every 1.5 s), run to its end.
    void tick() {
        clock.advance(1.5);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->outboxBusy(); }, 20000));
    }
    fs::path inbox = folder.path() / "Downloads";
};

TEST_F(ReceiveTest, NamesNeverReplaceFitTheFileSystemAndTheNoticeFollowsTheNameUsed) {
    const auto longest = std::string(251, 'l') + ".txt";  // the most a name may hold: " 2" must fit in it
    std::string wide;                                     // 90 characters on Windows, 270 bytes here
    for (int i = 0; i < 90; ++i) wide += "\xE6\xBC\xA2";
    for (const auto& name : {std::string("report.pdf"), std::string("report 2.pdf"), longest}) test::writeFile(inbox / name, "mine");
    test::writeFile(inbox / "Photos" / "old.jpg", "old");
    fs::create_symlink(inbox / "nowhere", inbox / "Link");  // dangling: still a taken name
    // A download a killed run left, and one another instance is busy with: sharing coming on sweeps the first. A
    // file of the user's named alike stays.
    pool.threads()->waitForDone();
    for (const auto& name : {".corvane-download-Lf7x2Q", ".corvane-download-Bz9y1K"}) test::writeFile(inbox / name, "partial");
    test::writeFile(inbox / ".corvane-download-mine", "mine");
    const int busy = ::open((inbox / ".corvane-download-Bz9y1K").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(busy, LOCK_EX), 0);
    manager->update(std::nullopt, settings);
    turnOn();
    pool.threads()->waitForDone();
    EXPECT_FALSE(fs::exists(inbox / ".corvane-download-Lf7x2Q"));
    EXPECT_EQ(test::readWhole(inbox / ".corvane-download-mine"), "mine");
    agent.addOutboxItem({"1", {{"report.pdf", "R", std::nullopt}}, {}, {}});
    agent.addOutboxItem({"2", {{"Photos/a.jpg", "A", std::nullopt}, {"Photos/sub/b.jpg", "B", std::nullopt}},
                         std::vector<std::string>{"Photos/empty"}, {}});
    agent.addOutboxItem({"3", {}, std::vector<std::string>{"Link"}, {}});
    agent.addOutboxItem({"4", {}, {}, {}});
    agent.addOutboxItem({"5", {{longest, "L", std::nullopt}, {"Wide/" + wide + ".txt", "W", std::nullopt}}, {}, {}});
    // Thousands of folders are made off the main thread: it keeps turning while they appear.
    std::vector<std::string> dirs;
    for (int i = 0; i < 5000; ++i) dirs.push_back("Tree/d" + std::to_string(i));
    agent.addOutboxItem({"6", {}, dirs, {}});
    bool seenMidway = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { seenMidway |= fs::exists(inbox / "Tree/d0") && !fs::exists(inbox / "Tree/d4999"); });
    watch.start(0);
    std::vector<std::string> saved;
    QObject listening;  // goes before what it writes to does
    QObject::connect(&manager->hud(), &TransferHUD::changed, &listening, [&] { if (!manager->hud().progress()) saved.push_back(manager->hud().title()); });
    // The first poll comes 1.5 s after sharing went on.
    clock.advance(1.49);
    EXPECT_FALSE(manager->outboxBusy());  // no step has begun
    for (int i = 0; i < 6; ++i) tick();
    // The item without files is done with, and no notice says anything was saved.
    EXPECT_EQ(saved, (std::vector<std::string>{"Saved report.pdf to Downloads", "Saved Photos to Downloads", "Saved Link to Downloads",
                                               "Saved 2 items to Downloads", "Saved Tree to Downloads"}));
    EXPECT_TRUE(seenMidway);
    const std::map<fs::path, std::string> content = {{"report.pdf", "mine"}, {"report 3.pdf", "R"}, {"Photos 2/a.jpg", "A"},
        {"Photos 2/sub/b.jpg", "B"}, {std::string(249, 'l') + " 2.txt", "L"}, {"Wide/" + wide.substr(0, 249) + ".txt", "W"}};
    for (const auto& [name, bytes] : content) EXPECT_EQ(test::readWhole(inbox / name), bytes) << name;
    for (const auto& name : {"Photos 2/empty", "Link 2", "Tree/d4999"}) EXPECT_TRUE(fs::is_directory(inbox / name)) << name;
    EXPECT_EQ(tree(inbox / "Photos"), (std::set<std::string>{"old.jpg"}));
    EXPECT_TRUE(fs::is_symlink(inbox / "Link"));
    EXPECT_EQ(sent.like("GET /v1/user/outbox/1"), std::vector<std::string>{"GET /v1/user/outbox/1/file 60 User-Agent: Corvane"});
    EXPECT_TRUE(fs::exists(inbox / ".corvane-download-Bz9y1K"));
    ::close(busy);
    EXPECT_TRUE(agent.outbox().empty());  // each one told done
    tick();
    EXPECT_EQ(manager->outboxItemsRemembered(), 0u);  // nothing kept of items the box let go
    const auto log = logTail();
    EXPECT_NE(log.find("receive from Windows: item 4 holds no files, marked done"), std::string::npos);
    EXPECT_NE(log.find("receive from Windows: removed 1 unfinished download(s) of earlier runs"), std::string::npos);
    EXPECT_NE(log.find("receive from Windows: saved to " + inbox.string()), std::string::npos);
}

// What must not be written is left out; the rest arrives, but the item is no success and the box keeps it.
TEST_F(ReceiveTest, HostilePathsNeverLeaveTheFolderAndAreNoSuccess) {
    std::vector<Agent::OutboxFile> files;
    for (const auto& path : {std::string("../evil.txt"), std::string("./dot.txt"), std::string("Box/../../up.txt"),
                             std::string("Box/ctl\x01.txt"), std::string("Box/del\x7f"), std::string("Box/nul\0x", 9),
                             std::string("..")})
        files.push_back({path, "x", std::nullopt});
    files.push_back({"/Box//ok.txt", "fine", std::nullopt});
    agent.addOutboxItem({"h", files, std::vector<std::string>{"..", ".", "Box/../../dir"}, {}});
    fs::create_directories(inbox / "inside");
    tick();
    EXPECT_EQ(tree(inbox), (std::set<std::string>{"inside/", "Box/", "Box/ok.txt"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(inbox.parent_path()), {}), 1);  // Downloads alone
    EXPECT_TRUE(manager->hud().failed());
    EXPECT_EQ(manager->hud().title(),
              "Could not receive from Windows: \"../evil.txt\" and 9 more have names that cannot be used on this computer.");
    EXPECT_EQ(requests("POST /v1/user/outbox/{id}/done"), 0u);
}

// Each failure: no done, nothing under a final name, not tried again in this run; the bar stays in 0...1.
TEST_F(ReceiveTest, FailedDownloadIsReportedOnceAndLeavesNothing) {
    constexpr auto huge = std::numeric_limits<std::int64_t>::max();
    const struct { std::vector<Agent::OutboxFile> files; std::optional<Agent::Reply> reply; std::string text; } cases[] = {
        {{{"a.txt", "abc", std::nullopt}}, Agent::Reply{500, R"({"error":"gone"})"}, "The server answered with error 500."},
        {{{"b.txt", std::string(5000, 'b'), 10}}, std::nullopt, "The download is larger than the 10 bytes expected."},
        {{{"c.txt", "ccc", -5}}, std::nullopt, "The download is larger than the 0 bytes expected."},
        // A body shorter than stated is no whole file; sizes are capped at 64 GiB.
        {{{"x.bin", "12345", huge}, {"y.bin", "12", huge}}, std::nullopt, "The download ended after 5 of 68719476736 bytes."},
    };
    std::vector<double> shown;
    std::set<std::string> titles;
    QObject listening;  // goes before what it writes to does
    QObject::connect(&manager->hud(), &TransferHUD::changed, &listening, [&] {
        shown.push_back(manager->hud().progress().value_or(0)), titles.insert(manager->hud().title());
    });
    for (int n = 0; const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.reply) agent.script("GET /v1/user/outbox/{id}/file", *c.reply);
        agent.addOutboxItem({"f" + std::to_string(n++), c.files, {}, c.files.size() > 1 ? std::optional(huge) : std::nullopt});
        tick();
        EXPECT_TRUE(manager->hud().failed());
        EXPECT_EQ(manager->hud().title(), "Could not receive from Windows: " + c.text);
        EXPECT_TRUE(tree(inbox).empty());
        const auto fileRequests = requests("GET /v1/user/outbox/{id}/file");
        tick();
        tick();
        EXPECT_EQ(requests("GET /v1/user/outbox/{id}/file"), fileRequests);  // not retried
        agent.clearScripts();
    }
    EXPECT_EQ(requests("POST /v1/user/outbox/{id}/done"), 0u);
    EXPECT_EQ(agent.outbox().size(), std::size(cases));
    EXPECT_NE(logTail().find("receive from Windows failed: The server answered with error 500."), std::string::npos);
    EXPECT_TRUE(titles.contains("Receiving 2 items from Windows"));
    EXPECT_GE(*std::min_element(shown.begin(), shown.end()), 0.0);
    EXPECT_LE(*std::max_element(shown.begin(), shown.end()), 1.0);
}

// A long outbox is read whole and taken item by item; a list that cannot be read is told once, with why.
TEST_F(ReceiveTest, ALongOutboxIsReadAndARefusedListIsLoggedOnce) {
    for (int i = 0; i < 10000; ++i) agent.addOutboxItem({std::to_string(i), {{"f" + std::to_string(i) + ".txt", "x", std::nullopt}}, {}, {}});
    std::string costly = R"({"items":[],"x":[)";
    for (int i = 0; i < 50000; ++i) costly += "[],";
    costly += "[]]}";
    agent.script("GET /v1/user/outbox", Agent::Reply{200, costly, "application/json", 0, 0, true, 3});
    for (int i = 0; i < 3; ++i) tick();
    const std::string refused = "receive from Windows: could not read the outbox: The box's reply could not be read: more values than a reply of its size holds";
    auto log = logTail();
    EXPECT_NE(log.find(refused), std::string::npos);
    EXPECT_EQ(log.find(refused), log.rfind(refused));
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(tree(inbox), (std::set<std::string>{"f0.txt", "f1.txt", "f2.txt"}));
    EXPECT_EQ(agent.outbox().size(), 9997u);
    // Told again after a list was read.
    agent.script("GET /v1/user/outbox", Agent::Reply{200, costly});
    tick();
    log = logTail();
    EXPECT_NE(log.find(refused), log.rfind(refused));
}

TEST_F(ReceiveTest, ASendAcceptedWhileTheListIsOutGoesFirst) {
    test::writeFile(folder.path() / "send-me.txt", "s");
    agent.addOutboxItem({"w", {{"w.txt", "w", std::nullopt}}, {}, {}});
    agent.script("GET /v1/user/outbox",
                 Agent::Reply{200, R"({"items":[{"id":"w","files":[{"path":"w.txt","size":1}],"total_bytes":1}]})",
                              "application/json", 0.5});
    agent.script("POST /v1/user/drop/{id}/finish", Agent::Reply{200, "{}", "application/json", 1.5});  // still busy then
    clock.advance(1.5);
    ASSERT_TRUE(manager->outboxBusy());
    clock.advance(1.5);  // no second poll while one is out
    manager->send({folder.path() / "send-me.txt"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->outboxBusy(); }, 10000));
    EXPECT_EQ(requests("GET /v1/user/outbox"), 1u);
    EXPECT_EQ(requests("GET /v1/user/outbox/{id}/file"), 0u);
    clock.advance(1.5);  // nor while a send runs
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(requests("GET /v1/user/outbox"), 1u);
    EXPECT_EQ(manager->hud().title(), "Copied send-me.txt to Desktop on Windows");
    tick();  // the item was left for this tick
    EXPECT_EQ(test::readWhole(inbox / "w.txt"), "w");
}

} // namespace
} // namespace corvane
