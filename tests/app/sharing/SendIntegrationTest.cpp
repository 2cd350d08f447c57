#include "tests/app/sharing/SharingTestSupport.hpp"

#include "platform/pasteboard/Pasteboard.hpp"

#include <QFileDialog>

#include <map>

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
    test::TempDir source;
};

TEST_F(SendTest, FilesAndNestedFoldersReachTheDropOneSendAtATime) {
    test::writeFile(here("Project/.hidden"), "h");
    test::writeFile(here("Project/.DS_Store"), "never");
    test::writeFile(here("Project/sub/deep/x.txt"), "xx");
    fs::create_directories(here("Project/emptySub"));
    fs::create_symlink(here("Project/sub/deep/x.txt"), here("Project/link.txt"));  // not followed
    test::writeFile(here("notes.txt"), "notes");
    test::writeFile(here("other/notes.txt"), "a second notes.txt: left out");
    fs::create_directories(here("Empty"));
    manager->send({here("Project"), here("gone.txt"), here("notes.txt"), here("other/notes.txt"), here("Empty")});
    manager->send({here("notes.txt")});  // refused from the moment the first is accepted
    EXPECT_EQ(manager->hud().title(), "Another transfer is still running. Try again when it finishes.");
    EXPECT_TRUE(manager->hud().failed());
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(manager->hud().title(), "Copied 3 items to Desktop on Windows");
    const auto drops = agent.drops();
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].names, (std::vector<std::string>{"Project", "notes.txt", "Empty"}));
    EXPECT_EQ(drops[0].dirs,
              (std::vector<std::string>{"Project", "Project/emptySub", "Project/sub", "Project/sub/deep", "Empty"}));
    EXPECT_EQ(drops[0].files, (std::map<std::string, std::string>{
                                  {"Project/.hidden", "h"}, {"Project/sub/deep/x.txt", "xx"}, {"notes.txt", "notes"}}));
    EXPECT_TRUE(drops[0].finished);
    EXPECT_NE(logTail().find("send to Windows: 3 item(s), 3 file(s), 8 bytes"), std::string::npos);
    EXPECT_NE(logTail().find("send to Windows: done (C:\\Users\\corvane\\Desktop)"), std::string::npos);
}

TEST_F(SendTest, ThePanelSendsChosenFoldersAndFiles) {
    test::writeFile(here("Chosen/inner.txt"), "i");
    test::writeFile(here("loose.txt"), "l");
    const auto panels = [] {
        std::vector<QFileDialog*> out;
        for (auto* widget : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) out.push_back(dialog);
        return out;
    };
    manager->chooseFilesToSend();
    manager->chooseFilesToSend();  // the same panel comes forward
    ASSERT_EQ(panels().size(), 1u);
    auto* panel = panels().front();
    EXPECT_EQ(panel->labelText(QFileDialog::Accept), "Send to Windows");
    panel->setDirectory(QString::fromStdString(source.path().string()));
    panel->selectFile("\"Chosen\" \"loose.txt\"");
    static_cast<QDialog*>(panel)->accept();  // the send button
    ASSERT_TRUE(QTest::qWaitFor([&] { return !agent.drops().empty() && !manager->transferBusy(); }, 10000));
    EXPECT_EQ(agent.drops()[0].names, (std::vector<std::string>{"Chosen", "loose.txt"}));
    EXPECT_EQ(agent.drops()[0].files.size(), 2u);
}

TEST_F(SendTest, EachFailingStepStopsAtOnce) {
    test::writeFile(here("Folder/a.txt"), "a");
    test::writeFile(here("Folder/b.txt"), "b");
    const struct { const char* endpoint; std::size_t dirs, files, finishes; } cases[] = {  // requests made in all
        {"POST /v1/user/drop", 0, 0, 0},
        {"POST /v1/user/drop/{id}/dir", 1, 0, 0},
        {"PUT /v1/user/drop/{id}/file", 1, 1, 0},
        {"POST /v1/user/drop/{id}/finish", 1, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.endpoint);
        agent.clearScripts();
        const auto dirs = requests("POST /v1/user/drop/{id}/dir");
        const auto files = requests("PUT /v1/user/drop/{id}/file");
        const auto finishes = requests("POST /v1/user/drop/{id}/finish");
        agent.script(c.endpoint, Agent::Reply{507, R"({"error":"<b>disk</b> & full"})"});
        manager->send({here("Folder")});
        ASSERT_TRUE(waitIdle());
        EXPECT_TRUE(manager->hud().failed());
        EXPECT_EQ(manager->hud().title(), "Could not copy to Windows: Box answered 507: <b>disk</b> & full");
        EXPECT_EQ(requests("POST /v1/user/drop/{id}/dir") - dirs, c.dirs);
        EXPECT_EQ(requests("PUT /v1/user/drop/{id}/file") - files, c.files);
        EXPECT_EQ(requests("POST /v1/user/drop/{id}/finish") - finishes, c.finishes);
        EXPECT_NE(logTail().find("send to Windows failed: Box answered 507: <b>disk</b> & full"), std::string::npos);
    }
}

TEST_F(SendTest, OnlyVanishedItemsBeginNoDrop) {
    manager->send({here("gone.txt")});
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(manager->hud().failed());
    EXPECT_EQ(manager->hud().title(), "Could not copy to Windows: \"gone.txt\" is no longer there.");
    EXPECT_TRUE(agent.drops().empty());
}

TEST_F(SendTest, LinksAndTextAndTextIsNotPastedBack) {
    const auto shows = [&](const std::string& title) {
        return QTest::qWaitFor([&] { return manager->hud().title() == title; }, 10000);
    };
    manager->openInWindows(QUrl("https://example.com/a b?q=1&r=2"));
    ASSERT_TRUE(shows("Opened the link in Windows"));
    EXPECT_EQ(agent.openedLinks(), std::vector<std::string>{"https://example.com/a%20b?q=1&r=2"});
    agent.script("POST /v1/user/open-url", Agent::Reply{500, R"({"error":"no browser"})"});
    manager->openInWindows(QUrl("mailto:a@b.c"));
    ASSERT_TRUE(shows("Could not open the link: Box answered 500: no browser"));
    settings.shareClipboard = true;
    turnOn();
    clock.advance(SharingManager::kClipPeriod);  // primes
    ASSERT_TRUE(QTest::qWaitFor([&] { return !manager->clipBusy() && requests("GET /v1/user/clipboard") == 1; }, 10000));
    manager->sendText("from a drop");
    ASSERT_TRUE(shows("Text copied to the Windows clipboard. Press Ctrl + V to paste."));
    EXPECT_EQ(agent.clipboard().text, "from a drop");
    const auto before = manager->pasteboard().changeCount();
    clock.advance(SharingManager::kClipPeriod);
    ASSERT_TRUE(QTest::qWaitFor([&] { return requests("GET /v1/user/clipboard") == 2 && !manager->clipBusy(); }, 10000));
    EXPECT_EQ(manager->pasteboard().changeCount(), before);
}

TEST_F(SendTest, WhySharingIsOff) {
    StreamSettings s;
    manager->update(std::nullopt, s);
    EXPECT_EQ(manager->unavailableReason(), "Connect the box to share files and the clipboard.");
    manager->send({here("x")});
    EXPECT_EQ(manager->hud().title(), "Connect the box to share files and the clipboard.");
    EXPECT_TRUE(manager->hud().failed());
    AgentClient::Info info;
    manager->update(info, s);
    EXPECT_EQ(manager->unavailableReason(),
              "Update the box software to 0.3.0 or newer (Settings > Updates) to share files and the clipboard.");
    info.sharing = AgentClient::Info::Sharing{false, std::nullopt};
    manager->update(info, s);
    EXPECT_EQ(manager->unavailableReason(), "Sign in to Windows on the box to share files and the clipboard.");
    info.sharing = AgentClient::Info::Sharing{true, "Limited"};
    s.dropToWindows = false;
    manager->update(info, s);
    EXPECT_TRUE(manager->available());
    EXPECT_EQ(manager->unavailableReason(), "Limited");
    EXPECT_FALSE(manager->catcher().enabled);
    EXPECT_NE(logTail().find("sharing: off"), std::string::npos);  // the fixture had turned it on
}

TEST_F(SendTest, WindowsNamesTheFolderWhenTheDestHasNoLastPart) {
    agent.stop();
    test::TempDir windows;
    auto options = agentOptions();
    options.dropDest = "C:\\";
    options.dropFolder = windows.path().string();
    boxsim::Agent other(options);
    other.start();
    test::writeFile(here("a.txt"), "a");
    test::writeFile(here("F/b.bin"), std::string(2 << 20, 'b'));
    double shown = 0;  // the pill's bar reaches the end before the result replaces it
    QObject::connect(&manager->hud(), &TransferHUD::changed, [&] { shown = manager->hud().progress().value_or(shown); });
    manager->send({here("a.txt"), here("F")});
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(shown, 1.0);
    EXPECT_EQ(manager->hud().title(), "Copied 2 items to Windows on Windows");
    EXPECT_EQ(test::readWhole(windows.path() / "T1" / "a.txt"), "a");  // streamed to the box's disk
    EXPECT_EQ(test::readWhole(windows.path() / "T1" / "F" / "b.bin"), std::string(2 << 20, 'b'));
}

} // namespace
} // namespace corvane
