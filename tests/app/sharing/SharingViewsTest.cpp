#include "app/services/Clock.hpp"
#include "app/sharing/DropCatcher.hpp"
#include "app/sharing/DropTargetView.hpp"
#include "app/sharing/ReceivePlan.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "tests/app/sharing/SharingTestSupport.hpp"

#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>

#include <fstream>

namespace corvane {
namespace {

class SharingViews : public ::testing::Test {
protected:
    SharingViews() { test::sharingApp(false); }
    void TearDown() override { clock.advance(3600); }  // the ended views' ticks wake and finish
    ManualClock clock;
};

// The figure is whole as soon as it changes, before any later layout pass: it never shows cut ("15º").
TEST_F(SharingViews, PillProgressNeverMovesBackAndHidesOnTime) {
    TransferHUD hud(clock);
    hud.show("Copying a to Windows", 0.0);
    const auto figureFits = [&](const char* text) {
        for (auto* label : hud.pill()->findChildren<QLabel*>())
            if (label->text() == text) return label->width() >= label->sizeHint().width() && label->height() >= label->sizeHint().height();
        return false;
    };
    hud.setProgress(0.15);
    EXPECT_TRUE(figureFits("15%"));
    hud.setProgress(0.6);
    hud.setProgress(0.4);
    EXPECT_DOUBLE_EQ(*hud.progress(), 0.6);
    hud.setProgress(1.7);
    EXPECT_DOUBLE_EQ(*hud.progress(), 1.0);
    EXPECT_TRUE(figureFits("100%"));
    hud.finish("Copied a to Desktop on Windows", false);
    clock.advance(3.25);
    EXPECT_TRUE(hud.visible());
    clock.advance(0.25);
    EXPECT_FALSE(hud.visible());
    hud.show("Receiving b from Windows", 0.0);  // a running transfer stays up
    clock.advance(30);
    EXPECT_TRUE(hud.visible());
}

TEST_F(SharingViews, DropsSortIntoFilesLinksAndText) {
    using K = DropCatcher::Drop::Kind;
    const struct { const char* name; QList<QUrl> urls; QString text; std::optional<K> kind; QString link; std::string asText; } rows[] = {
        {"files", {QUrl("file:///tmp/a"), QUrl("https://x.org"), QUrl("file:///tmp/b c")}, "", K::files, "", ""},
        {"page link", {QUrl("https://example.com/p")}, "https://example.com/p", K::link, "https://example.com/p", ""},
        {"mail link", {QUrl("mailto:a@b.c")}, "", K::link, "mailto:a@b.c", ""},
        {"ftp link as its text", {QUrl("ftp://x.org/f")}, "", K::text, "", "ftp://x.org/f"},
        {"address in text", {}, "  https://example.com/x \n", K::link, "https://example.com/x", ""},
        {"mailto text", {}, "mailto:a@b.c", K::text, "", "mailto:a@b.c"},
        {"spaces", {}, "   ", K::text, "", "   "},
        {"plain", {}, "hello <b>", K::text, "", "hello <b>"},
        {"empty", {}, "", std::nullopt, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QMimeData data;
        if (!row.urls.isEmpty()) data.setUrls(row.urls);
        if (!row.text.isEmpty()) data.setText(row.text);
        const auto drop = DropCatcher::sort(data);
        ASSERT_EQ(drop.has_value(), row.kind.has_value());
        if (!drop) continue;
        EXPECT_EQ(drop->kind, *row.kind);
        if (drop->kind == K::files) { EXPECT_EQ(drop->files, (std::vector<std::filesystem::path>{"/tmp/a", "/tmp/b c"})); }
        if (drop->kind == K::link) { EXPECT_EQ(drop->link.toString(), row.link); }
        if (drop->kind == K::text) { EXPECT_EQ(drop->text, row.asText); }
    }
}

TEST_F(SharingViews, TheDropPanelComesUpOnlyWhenAllowedAndGoesWhenTheDragLeaves) {
    QWidget window;
    window.resize(640, 400);
    window.show();
    DropCatcher catcher(clock);
    catcher.setStreamWindow(&window);
    QMimeData data;
    data.setUrls({QUrl("file:///tmp/one")});
    const auto enter = [&](QWidget* target) {
        QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
        return event.isAccepted();
    };
    catcher.start();
    catcher.enabled = true;
    enter(&window);
    EXPECT_FALSE(catcher.panelVisible());  // no stream
    catcher.streamPID = 1;
    enter(&window);
    ASSERT_TRUE(catcher.panelVisible());
    auto* panel = window.findChild<DropTargetView*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->geometry(), window.rect());
    EXPECT_FALSE(panel->highlighted());
    EXPECT_TRUE(enter(panel));
    EXPECT_TRUE(panel->highlighted());
    QDragLeaveEvent leave;
    QApplication::sendEvent(panel, &leave);  // the drag left the window
    EXPECT_FALSE(catcher.panelVisible());
}

TEST(ReceivePlan, UniqueNamesCountUpAndSeeDanglingLinks) {
    test::TempDir dir;
    for (const char* name : {"report.pdf", "report 2.pdf", "Photos", "archive.tar.gz", ".bashrc"})
        std::ofstream(dir.path() / name) << "x";
    std::filesystem::create_symlink(dir.path() / "missing", dir.path() / "Link");
    const struct { const char* name; std::set<std::string> taken; const char* expected; } rows[] = {
        {"report.pdf", {}, "report 3.pdf"}, {"Photos", {}, "Photos 2"}, {"archive.tar.gz", {}, "archive.tar 2.gz"},
        {".bashrc", {}, ".bashrc 2"},      {"Link", {}, "Link 2"},     {"new.txt", {}, "new.txt"},
        {"new.txt", {"new.txt", "new 2.txt"}, "new 3.txt"}};
    for (const auto& row : rows)
        EXPECT_EQ(ReceivePlan::uniqueName(row.name, dir.path(), row.taken), row.expected) << row.name;
}

} // namespace
} // namespace corvane
