#include "tests/app/sharing/SharingTestSupport.hpp"
#include "app/services/Folders.hpp"
#include "platform/pasteboard/Pasteboard.hpp"
#include <QFileDialog>
#include <sys/stat.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using boxsim::Agent;

class SendTest : public test::SharingFixture {
protected:
    void SetUp() override {
        SharingFixture::SetUp();
        settings.shareClipboard = false;
        turnOn();
    }
    fs::path here(const std::string& rel) { return source.path() / rel; }
    ::testing::AssertionResult shows(const std::string& title, bool failed) {
        if (QTest::qWaitFor([&] { return manager->hud().title() == title; }, 10000) && manager->hud().failed() == failed)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "shows \"" << manager->hud().title() << "\", failed " << manager->hud().failed();
    }
    test::TempDir source;
};

TEST_F(SendTest, FilesAndNestedFoldersReachTheDropOneSendAtATimeChosenOrDropped) {
    test::writeFile(here("Project/.hidden"), "h");
    test::writeFile(here("Project/.DS_Store"), "never");
    test::writeFile(here("Project/sub/deep/x.txt"), "xx");
    fs::create_directories(here("Project/emptySub"));
    fs::create_symlink(here("Project/sub/deep/x.txt"), here("Project/link.txt"));  // not followed
    test::writeFile(here("notes.txt"), "notes");
    test::writeFile(here("other/notes.txt"), "a second notes.txt: left out");
    fs::create_directories(here("Empty"));
    test::writeFile(here("Project/sub/big.bin"), std::string(2 << 20, 'b'));
    std::vector<double> shown;  // the pill's bar reaches the end before the result replaces it
    std::string title;
    QObject listening;  // goes before what it writes to does
    QObject::connect(&manager->hud(), &TransferHUD::changed, &listening, [&] {
        // The refusal of the second send may come before, between or after the first one's steps; the steps
        // after it go on under the refusal's line.
        if (const auto p = manager->hud().progress()) {
            shown.push_back(*p);
            if (!manager->hud().failed()) title = manager->hud().title();
        }
    });
    manager->send({here("Project"), here("gone.txt"), here("notes.txt"), here("other/notes.txt"), here("Empty")});
    manager->send({here("notes.txt")});  // refused from the moment the first is accepted
    EXPECT_TRUE(shows("Another transfer is still running. Try again when it finishes.", true));
    ASSERT_TRUE(waitIdle());
    // What went is copied (to the last name of the box's folder, "...\\Desktop\\"); what did not is named, in
    // the warning style.
    EXPECT_TRUE(shows("Copied 3 items to Desktop on Windows, but \"Project/link.txt\" and 2 more could not be sent.", true));
    EXPECT_EQ(title, "Copying 3 items to Windows");
    EXPECT_EQ(shown.front(), 0.0);
    EXPECT_EQ(shown.back(), 1.0);
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
    const auto drops = agent.drops();
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].names, (std::vector<std::string>{"Project", "notes.txt", "Empty"}));
    EXPECT_EQ(drops[0].dirs,
              (std::vector<std::string>{"Project", "Project/emptySub", "Project/sub", "Project/sub/deep", "Empty"}));
    EXPECT_EQ(drops[0].files, (std::map<std::string, std::string>{{"Project/.hidden", "h"}, {"Project/sub/big.bin",
              std::string(2 << 20, 'b')}, {"Project/sub/deep/x.txt", "xx"}, {"notes.txt", "notes"}}));
    EXPECT_TRUE(drops[0].finished);
    // A folder has 15 s of silence, a file 60 s, sent as bytes.
    const auto id = "/v1/user/drop/" + drops[0].id;
    EXPECT_EQ(sent.like("POST " + id + "/dir"), std::vector<std::string>(5, "POST " + id + "/dir 15"));
    EXPECT_EQ(sent.like("PUT"), std::vector<std::string>(4, "PUT " + id + "/file 60 Content-Type: application/octet-stream"));
    const auto log = logTail();
    EXPECT_NE(log.find("send to Windows: 3 item(s), 4 file(s), 2097160 bytes"), std::string::npos);
    EXPECT_NE(log.find("send to Windows: left out Project/link.txt (is not a file or folder)\n"), std::string::npos);
    EXPECT_NE(log.find("send to Windows: done (C:\\Users\\corvane\\Desktop\\)"), std::string::npos);
    // The panel takes folders and files together; a second request brings the same panel forward.
    test::writeFile(here("Chosen/inner.txt"), "i");
    test::writeFile(here("loose.txt"), "l");
    const auto panels = test::shownWindows<QFileDialog>;
    manager->chooseFilesToSend();
    manager->chooseFilesToSend();  // the same panel comes forward
    ASSERT_EQ(panels().size(), 1u);
    auto* panel = panels().front();
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), "Send to Windows");
    EXPECT_EQ(panel->windowTitle(), "Choose files or folders to copy to Windows.");
    panel->setDirectory(QString::fromStdString(source.path().string()));
    panel->selectFile("\"Chosen\" \"loose.txt\"");
    static_cast<QDialog*>(panel)->accept();  // the send button
    ASSERT_TRUE(QTest::qWaitFor([&] { return agent.drops().size() == 2 && !manager->transferBusy(); }, 10000));
    EXPECT_EQ(agent.drops()[1].names, (std::vector<std::string>{"Chosen", "loose.txt"}));
    EXPECT_EQ(agent.drops()[1].files.size(), 2u);
}

// A failing step stops the send at once; nothing that could go begins no send; what is left out beside what
// went is said. Counts are the requests made in all.
TEST_F(SendTest, EachFailingStepStopsAtOnceAndWhatIsLeftOutIsSaid) {
    test::writeFile(here("Folder/a.txt"), "a");
    test::writeFile(here("Folder/b.txt"), "b");
    ASSERT_EQ(::mkfifo(here("topfifo").c_str(), 0600), 0);
    const std::string full = "Could not copy to Windows: Box answered 507: <b>disk</b> & full";
    const struct { std::vector<std::string> chosen; const char* failing; std::string title; std::size_t drops, dirs, files, finishes; } cases[] = {
        {{"Folder"}, "POST /v1/user/drop", full, 0, 0, 0, 0},
        {{"Folder"}, "POST /v1/user/drop/{id}/dir", full, 1, 1, 0, 0},
        {{"Folder"}, "PUT /v1/user/drop/{id}/file", full, 1, 1, 1, 0},
        {{"Folder"}, "POST /v1/user/drop/{id}/finish", full, 1, 1, 2, 1},
        {{"topfifo"}, "", "Could not copy to Windows: \"topfifo\" is not a file or folder.", 0, 0, 0, 0},
        {{"gone.txt"}, "", "Could not copy to Windows: \"gone.txt\" is no longer there.", 0, 0, 0, 0},
        {{"Folder", "topfifo"}, "", "Copied Folder to Desktop on Windows, but \"topfifo\" is not a file or folder.", 1, 1, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        agent.clearScripts();
        const std::size_t before[] = {agent.drops().size(), requests("POST /v1/user/drop/{id}/dir"),
                                      requests("PUT /v1/user/drop/{id}/file"), requests("POST /v1/user/drop/{id}/finish")};
        if (*c.failing) agent.script(c.failing, Agent::Reply{507, R"({"error":"<b>disk</b> & full"})"});
        std::vector<fs::path> chosen;
        for (const auto& name : c.chosen) chosen.push_back(here(name));
        manager->send(chosen);
        ASSERT_TRUE(waitIdle());
        EXPECT_TRUE(shows(c.title, true));
        EXPECT_EQ(agent.drops().size() - before[0], c.drops);
        EXPECT_EQ(requests("POST /v1/user/drop/{id}/dir") - before[1], c.dirs);
        EXPECT_EQ(requests("PUT /v1/user/drop/{id}/file") - before[2], c.files);
        EXPECT_EQ(requests("POST /v1/user/drop/{id}/finish") - before[3], c.finishes);
    }
    EXPECT_NE(logTail().find("send to Windows failed: Box answered 507: <b>disk</b> & full"), std::string::npos);
    // A box's error of any length is cut to 500 bytes in the pill.
    const std::string lead = "Could not copy to Windows: Box answered 507: ";
    agent.script("POST /v1/user/drop", Agent::Reply{507, R"({"error":")" + std::string(1 << 20, 'x') + "\"}"});
    manager->send({here("Folder")});
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(manager->hud().title(), lead + std::string(500 - lead.size(), 'x') + "\u2026");
}

// A send where everything went says so, and not in the warning style.
TEST_F(SendTest, ASendWhereEverythingWentIsNoFailure) {
    test::writeFile(here("a.txt"), "a");
    test::writeFile(here("F/b.bin"), std::string(2 << 20, 'b'));
    manager->send({here("a.txt"), here("F")});
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(shows("Copied 2 items to Desktop on Windows", false));
    const auto drops = agent.drops();
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].files, (std::map<std::string, std::string>{{"F/b.bin", std::string(2 << 20, 'b')}, {"a.txt", "a"}}));
    EXPECT_TRUE(drops[0].finished);
    EXPECT_EQ(logTail().find("send to Windows: left out"), std::string::npos);
}

TEST_F(SendTest, WhySharingIsOffWhatItKeepsBackAndLinksAndTextWhenOn) {
    using Sharing = AgentClient::Info::Sharing;
    Log::write("test: from here");
    const struct { std::optional<std::optional<Sharing>> info; bool drop; bool available; std::optional<std::string> reason; } rows[] = {
        {std::nullopt, true, false, "Connect the box to share files and the clipboard."},
        {std::optional<Sharing>(), true, false,
         "Update the box software to 0.3.0 or newer (Settings > Updates) to share files and the clipboard."},
        {Sharing{false, std::nullopt}, true, false, "Sign in to Windows on the box to share files and the clipboard."},
        {Sharing{false, "Windows is locked"}, true, false, "Windows is locked"},
        {Sharing{true, std::nullopt}, true, true, std::nullopt},
        {Sharing{true, "Limited"}, false, true, "Limited"},
    };
    for (const auto& row : rows) {
        std::optional<AgentClient::Info> info;
        if (row.info) info.emplace().sharing = *row.info;
        StreamSettings s;
        s.dropToWindows = row.drop;
        manager->update(info, s);
        EXPECT_EQ(manager->available(), row.available);
        EXPECT_EQ(manager->unavailableReason(), row.reason);
        EXPECT_EQ(manager->catcher().enabled, row.available && row.drop);
        EXPECT_EQ(manager->receiveFolder(), Folders::downloads());  // the setting is empty
        if (row.available) continue;
        // A refused send says why; a link or text while off does nothing at all.
        manager->send({here("x")});
        EXPECT_TRUE(shows(*row.reason, true));
        manager->openInWindows(QUrl("https://example.com"));
        manager->sendText("t");
        QTest::qWait(50);
        EXPECT_EQ(manager->hud().title(), *row.reason);
    }
    EXPECT_TRUE(agent.openedLinks().empty());
    EXPECT_EQ(requests("POST /v1/user/clipboard"), 0u);
    // Off once, on again once: unchanged availability logs nothing.
    const auto all = logTail(), log = all.substr(all.rfind("test: from here"));
    for (const std::string line : {"sharing: off", "sharing: on"}) {
        EXPECT_NE(log.find(line), std::string::npos);
        EXPECT_EQ(log.find(line), log.rfind(line));
    }
    // On: links open in Windows, text goes to its clipboard and is not pasted back here.
    manager->openInWindows(QUrl("https://example.com/a b?q=1&r=2"));
    ASSERT_TRUE(shows("Opened the link in Windows", false));
    EXPECT_EQ(agent.openedLinks(), std::vector<std::string>{"https://example.com/a%20b?q=1&r=2"});
    agent.script("POST /v1/user/open-url", Agent::Reply{500, R"({"error":"no browser"})"});
    manager->openInWindows(QUrl("mailto:a@b.c"));
    ASSERT_TRUE(shows("Could not open the link: Box answered 500: no browser", true));
    agent.script("POST /v1/user/clipboard", Agent::Reply{500, R"({"error":"locked"})"});
    manager->sendText("refused");
    ASSERT_TRUE(shows("Could not send the text: Box answered 500: locked", true));
    agent.clearScripts();
    // The clipboard is polled every 0.75 s: the first poll primes.
    settings.shareClipboard = true;
    turnOn();
    clock.advance(0.74);
    EXPECT_FALSE(manager->clipBusy());  // no step has begun
    clock.advance(0.01);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->clipBusy() && requests("GET /v1/user/clipboard") == 1; }, 10000));
    manager->sendText("from a drop");
    ASSERT_TRUE(shows("Text copied to the Windows clipboard. Press Ctrl + V to paste.", false));
    EXPECT_EQ(agent.clipboard().text, "from a drop");
    const auto before = manager->pasteboard().changeCount();
    clock.advance(0.75);
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests("GET /v1/user/clipboard") == 2 && !manager->clipBusy(); }, 10000));
    EXPECT_EQ(manager->pasteboard().changeCount(), before);
}

} // namespace
} // namespace corvane
