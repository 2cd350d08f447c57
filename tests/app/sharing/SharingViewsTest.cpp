#include "app/services/Clock.hpp"
#include "app/sharing/DropCatcher.hpp"
#include "app/sharing/DropTargetView.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "tests/app/sharing/SharingTestSupport.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>

namespace corvane {
namespace {

class SharingViews : public ::testing::Test {
protected:
    SharingViews() { test::SharingGui::ensure(false); }
    ManualClock clock;
};

TEST_F(SharingViews, PillProgressNeverMovesBackAndHidesOnTime) {
    TransferHUD hud(clock);
    hud.show("Copying a to Windows", 0.0);
    hud.setProgress(0.6);
    hud.setProgress(0.4);
    EXPECT_DOUBLE_EQ(*hud.progress(), 0.6);
    hud.setProgress(1.7);
    EXPECT_DOUBLE_EQ(*hud.progress(), 1.0);
    EXPECT_TRUE(hud.visible());
    hud.finish("Copied a to Desktop on Windows", false);
    EXPECT_FALSE(hud.progress());
    hud.setProgress(0.2);
    EXPECT_DOUBLE_EQ(*hud.progress(), 0.2);
    hud.finish("Copied a to Desktop on Windows", false);
    clock.advance(3.25);
    EXPECT_TRUE(hud.visible());
    clock.advance(0.25);
    EXPECT_FALSE(hud.visible());
    hud.finish("Could not copy to Windows: x", true);
    EXPECT_TRUE(hud.visible());
    clock.advance(5.75);
    EXPECT_TRUE(hud.visible());
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

TEST_F(SharingViews, TheDropPanelComesUpOnlyWhenAllowedAndHandsTheDropOver) {
    QWidget window;
    window.resize(640, 400);
    window.show();
    DropCatcher catcher(clock);
    std::vector<DropCatcher::Drop> drops;
    catcher.onDrop = [&](const DropCatcher::Drop& drop) { drops.push_back(drop); };
    catcher.setStreamWindow(&window);
    QMimeData data;
    data.setUrls({QUrl("file:///tmp/one"), QUrl("file:///tmp/two")});
    const auto enter = [&](QWidget* target) {
        QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
        return event.isAccepted();
    };
    catcher.start();
    enter(&window);
    EXPECT_FALSE(catcher.panelVisible());  // not enabled
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
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(panel, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_FALSE(catcher.panelVisible());
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].files, (std::vector<std::filesystem::path>{"/tmp/one", "/tmp/two"}));
    enter(&window);
    ASSERT_TRUE(catcher.panelVisible());
    enter(panel);
    QDragLeaveEvent leave;
    QApplication::sendEvent(panel, &leave);  // the drag left the window
    EXPECT_FALSE(catcher.panelVisible());
    enter(&window);
    clock.advance(0.25);
    EXPECT_TRUE(catcher.panelVisible());
    clock.advance(0.05);  // the button is up and nothing hovers
    EXPECT_FALSE(catcher.panelVisible());
    enter(&window);
    catcher.stop();
    EXPECT_FALSE(catcher.panelVisible());
}

} // namespace
} // namespace corvane
