#include "app/services/Clock.hpp"
#include "app/sharing/DropCatcher.hpp"
#include "app/sharing/DropTargetView.hpp"
#include "app/sharing/ReceivePlan.hpp"
#include "app/sharing/SendPlan.hpp"
#include "app/sharing/TransferHUD.hpp"
#include "app/window/StreamWindow.hpp"
#include "platform/pasteboard/Pasteboard.hpp"
#include "tests/app/sharing/SharingTestSupport.hpp"
#include <QBuffer>
#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <cmath>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class SharingViews : public ::testing::Test {
protected:
    SharingViews() { test::sharingApp(false); }
    void TearDown() override {
        StreamWindow::ownWindow = nullptr;
        clock.advance(3600);  // the ended views' ticks wake and finish
    }
    // A figure is shown whole: cut to a narrower one's room, "15%" reads "15º".
    static bool shows(QWidget* pill, const QString& text) {
        const auto labels = pill->findChildren<QLabel*>();
        return std::any_of(labels.begin(), labels.end(), [&](QLabel* l) {
            const bool whole = !text.endsWith('%') ||
                               (l->width() >= l->sizeHint().width() && l->height() >= l->sizeHint().height());
            return l->isVisibleTo(pill) && l->text() == text && whole;
        });
    }
    ManualClock clock;
};

// Over the stream window: centred, 24 above its bottom edge. The window's teardown takes that pill with it
// but leaves its transfer alone, and the next tick (0.25 s) shows it at the top right of the screen, 16 in
// from both edges.
// A result stays 3.5 s (6.0 s when it failed), give or take a tick: finished on a tick it goes on the tick
// 3.5 s later, finished 0.01 s after one it goes a tick later still (times from the show).
TEST_F(SharingViews, ThePillOutlivesTheStreamWindowAndItsResultsGoOnTime) {
    auto* window = new QWidget;
    window->setGeometry(100, 80, 600, 400);
    window->show();
    StreamWindow::ownWindow = [alive = QPointer<QWidget>(window)]() -> std::optional<StreamWindow::Info> {
        if (!alive) return std::nullopt;
        return StreamWindow::Info{static_cast<std::uint32_t>(alive->winId()), QRectF(alive->frameGeometry())};
    };
    TransferHUD hud(clock);
    hud.streamPID = ::getpid();
    hud.show("Receiving holiday photos from Windows", 0.42);
    ASSERT_EQ(hud.pill()->parentWidget(), window);
    const QRect frame = window->frameGeometry(), placed(hud.pill()->mapToGlobal(QPoint()), hud.pill()->size());
    EXPECT_EQ(placed.bottom(), frame.bottom() - 24);
    EXPECT_EQ(placed.left() * 2 + placed.width(), frame.left() * 2 + frame.width());
    const auto shownAfter = [&](double seconds) { return clock.advance(seconds), hud.visible(); };
    delete window;
    EXPECT_FALSE(shownAfter(0.24));
    ASSERT_TRUE(shownAfter(0.01));
    QWidget* pill = hud.pill();
    EXPECT_EQ(pill->parentWidget(), nullptr);
    EXPECT_TRUE(pill->testAttribute(Qt::WA_TransparentForMouseEvents));  // clicks reach what is below
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(pill->frameGeometry().topRight(), QPoint(area.right() - 16, area.top() + 16));
    EXPECT_TRUE(shows(pill, "42%"));
    EXPECT_TRUE(shows(pill, "Receiving holiday photos from Windows"));
    hud.show("Copying a to Windows", std::nullopt);
    hud.setProgress(0.15);
    EXPECT_TRUE(shows(pill, "15%"));  // whole before any later layout pass
    for (const auto& [value, shown] : {std::pair{0.2, 0.2}, {0.6, 0.6}, {0.4, 0.6}, {NAN, 0.6}, {1.7, 1.0}}) {
        hud.setProgress(value);
        EXPECT_EQ(hud.progress(), shown) << value;
    }
    clock.advance(29.75);  // a running transfer stays up; from here the ticks fall on whole seconds
    EXPECT_TRUE(shows(pill, "100%"));
    const struct { bool failed; double offset, shownAt, goneAt; } rows[] = {
        {false, 0, 3.25, 3.5}, {false, 0.01, 3.5, 3.75}, {true, 0, 5.75, 6.0}, {true, 0.01, 6.0, 6.25}};
    for (const auto& row : rows) {
        hud.show("Receiving b from Windows", 0.0);
        clock.advance(row.offset);
        hud.finish("done", row.failed);
        EXPECT_TRUE(shownAfter(row.shownAt - row.offset)) << row.goneAt;
        EXPECT_FALSE(shownAfter(row.goneAt - row.shownAt)) << row.goneAt;
    }
    // A second result restarts the time; a transfer after a result cancels it.
    hud.finish("first", false);
    clock.advance(3);
    hud.finish("again", false);
    EXPECT_TRUE(shownAfter(3.25));
    hud.show("Copying c to Windows", 0.5);
    EXPECT_TRUE(shownAfter(30));
}

// A warning keeps what it says of a name whole in the pill's two lines while the names are cut in the middle,
// the longest first; no text of the pill is under 9 points.
TEST_F(SharingViews, AWarningKeepsItsReasonWholeWhileItsNamesAreCut) {
    TransferHUD hud(clock);
    const std::string path = "Holiday/" + std::string(92, 'p');
    const std::string text = "Copied 2 items to Desktop on Windows, but \"" + path + "\" could not be read.";
    hud.finish(text, true, {"2 items", "Desktop", path});
    ASSERT_TRUE(hud.visible());
    EXPECT_EQ(hud.title(), text);
    QLabel* title = nullptr;
    for (QLabel* label : hud.pill()->findChildren<QLabel*>())
        if (label->text().startsWith("Copied")) title = label;
    ASSERT_TRUE(title);
    const QString shown = title->text();
    EXPECT_TRUE(shown.startsWith("Copied 2 items to Desktop on Windows, but \"Holiday")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QString::fromUtf8("pp\" could not be read."))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QChar(0x2026)));
    const QFontMetrics metrics(title->font());
    const QRect needs = metrics.boundingRect(QRect(0, 0, title->width(), 1 << 20), Qt::TextWordWrap, shown);
    EXPECT_LE(needs.width(), title->width());
    EXPECT_LE(needs.height(), title->height());
    EXPECT_LE(title->height(), metrics.boundingRect(QRect(0, 0, 1 << 20, 1 << 20), 0, "x\nx").height());  // two lines
    // A title that fits is left as it is.
    hud.finish("Copied a to Desktop on Windows", false, {"a", "Desktop"});
    EXPECT_EQ(title->text(), "Copied a to Desktop on Windows");
    hud.show("Copying a to Windows", 0.5, {"a"});
    for (QLabel* label : hud.pill()->findChildren<QLabel*>()) {
        if (label->isVisibleTo(hud.pill())) {
            EXPECT_GE(QFontInfo(label->font()).pointSizeF(), 9.0) << label->text().toStdString();
        }
    }
}

TEST_F(SharingViews, TheDropPanelComesUpOnlyWhenAllowedGoesWithinAWatchStepAndSortsDrops) {
    QWidget window;
    window.resize(640, 400);
    DropCatcher catcher(clock);
    catcher.setStreamWindow(&window);
    QMimeData data;
    data.setUrls({QUrl("file:///tmp/one")});
    const auto enter = [&](QWidget* target) {
        QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
        return event.isAccepted();
    };
    // Each one missing keeps it down: the watch started, drops allowed, a stream, its window shown.
    const struct { bool started, enabled; std::optional<std::int32_t> pid; bool shown; } rows[] = {
        {false, true, 1, true}, {true, false, 1, true}, {true, true, std::nullopt, true}, {true, true, 1, false},
        {true, true, 1, true}};
    for (const auto& row : rows) {
        row.started ? catcher.start() : catcher.stop();
        catcher.enabled = row.enabled;
        catcher.streamPID = row.pid;
        window.setVisible(row.shown);
        EXPECT_EQ(enter(&window), &row == &std::end(rows)[-1]);
    }
    // The window itself takes the drag: no window of the target's own lies over it.
    ASSERT_TRUE(catcher.panelVisible());
    EXPECT_TRUE(catcher.highlighted());
    EXPECT_TRUE(window.findChildren<QWidget*>().isEmpty());
    // A drag over it keeps it up; leaving, it goes at once here, where no drag watch would take it down
    // (on X11 the watch does: StreamWindowTest, PanelsOverStreamIntegrationTest).
    const auto shownAfter = [&](double seconds) { return clock.advance(seconds), catcher.panelVisible(); };
    QDragMoveEvent move(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &move);
    EXPECT_TRUE(move.isAccepted());
    EXPECT_EQ(move.dropAction(), Qt::CopyAction);
    EXPECT_TRUE(shownAfter(3));
    QDragLeaveEvent leave;
    QApplication::sendEvent(&window, &leave);
    EXPECT_FALSE(catcher.highlighted());
    EXPECT_FALSE(catcher.panelVisible());
    // Dropped, what the drag carries goes to onDrop and the target goes; a drop of nothing is refused, and
    // one that comes while the target is down (and drops are not allowed) is not taken.
    std::vector<std::string> got;
    catcher.onDrop = [&](const DropCatcher::Drop& drop) { got.push_back(drop.files.empty() ? drop.text : drop.files[0].string()); };
    const auto dropOf = [&](const QMimeData& what) {
        QDropEvent event(QPointF(30, 30), Qt::CopyAction, &what, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &event);
        return event.isAccepted();
    };
    QMimeData nothing;
    for (const QMimeData* what : {&data, &nothing}) {
        EXPECT_TRUE(enter(&window));
        EXPECT_EQ(dropOf(*what), what == &data);
        EXPECT_FALSE(catcher.panelVisible());
    }
    catcher.enabled = false;
    EXPECT_FALSE(enter(&window));
    EXPECT_FALSE(dropOf(data));
    EXPECT_EQ(got, std::vector<std::string>{"/tmp/one"});
    // A drop sorts into files, a link or text.
    const struct { const char* name; QList<QUrl> urls; QString text; std::string sorted; } drops[] = {
        {"files", {QUrl("file:///tmp/a"), QUrl("https://x.org"), QUrl("file:///tmp/b c")}, "", "files /tmp/a|/tmp/b c"},
        {"page link", {QUrl("https://example.com/p")}, "https://example.com/p", "link https://example.com/p"},
        {"mail link", {QUrl("mailto:a@b.c")}, "", "link mailto:a@b.c"},
        {"ftp link as its text", {QUrl("ftp://x.org/f")}, "", "text ftp://x.org/f"},
        {"address in text", {}, "  https://example.com/x \n", "link https://example.com/x"},
        {"mailto text", {}, "mailto:a@b.c", "text mailto:a@b.c"},
        {"spaces", {}, "   ", "text    "},
        {"plain", {}, "hello <b>", "text hello <b>"},
        {"empty", {}, "", "none"},
    };
    for (const auto& row : drops) {
        QMimeData dropped;
        if (!row.urls.isEmpty()) dropped.setUrls(row.urls);
        if (!row.text.isEmpty()) dropped.setText(row.text);
        const auto drop = DropCatcher::sort(dropped);
        std::string sorted = !drop ? "none" : drop->kind == DropCatcher::Drop::Kind::link ? "link " + drop->link.toString().toStdString()
                                          : drop->kind == DropCatcher::Drop::Kind::text ? "text " + drop->text : "files ";
        for (const auto& file : drop ? drop->files : std::vector<fs::path>{}) sorted += (sorted.back() == ' ' ? "" : "|") + file.string();
        EXPECT_EQ(sorted, row.sorted) << row.name;
    }
}

// The look the stream view lays over the picture during a drag: over a black and over a white picture the
// label's text stands out 4.5:1 from its own background, which is darker than the tinted picture around it;
// the border (3 px, inside the edge) is the accent colour itself; the corners stay clear.
TEST_F(SharingViews, TheDropTargetsLookReadsOverAnyPicture) {
    const QColor accent(48, 140, 198);
    const QSize size(640, 400);
    for (const double ratio : {1.0, 2.0}) {
        const QImage look = DropTargetView::look(size, ratio, accent);
        ASSERT_EQ(look.size(), size * ratio);
        const QRect label = DropTargetView::labelRect(size);
        EXPECT_NEAR(label.center().x(), 319.5, 1);
        EXPECT_NEAR(label.center().y(), 199.5, 1);
        const auto at = [&](const QImage& image, int x, int y) { return image.pixelColor(int(x * ratio), int(y * ratio)); };
        for (const QPoint edge : {QPoint(0, 200), QPoint(2, 200), QPoint(639, 200), QPoint(320, 0), QPoint(320, 399)})
            EXPECT_EQ(at(look, edge.x(), edge.y()).rgba(), accent.rgba()) << ratio << " " << edge.x() << "," << edge.y();
        EXPECT_EQ(at(look, 0, 0).alpha(), 0);
        for (const QColor picture : {QColor(Qt::black), QColor(Qt::white)}) {
            QImage shown(look.size(), QImage::Format_RGB32);
            shown.fill(picture);
            QPainter(&shown).drawImage(QRect(QPoint(0, 0), look.size()), look);
            if (const char* keep = std::getenv("CORVANE_KEEP_SCREENSHOTS")) shown.save(QString("%1/drop-look-%2-%3.png").arg(keep).arg(ratio).arg(picture.name().mid(1)));
            const auto luminance = [](QColor c) {
                const auto linear = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
                return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
            };
            const QColor background = at(shown, label.left() + 4, label.top() + 3);
            const QColor tinted = at(shown, label.left() - 20, label.center().y());
            EXPECT_LT(luminance(background), luminance(tinted));
            EXPECT_NEAR(tinted.blue(), picture.blue() * 0.78 + accent.blue() * 0.22, 2);
            // The text's columns: those of the label holding a pixel 4.5:1 from its background.
            int first = INT_MAX, last = INT_MIN;
            for (int x = label.left(); x <= label.right(); ++x)
                for (int y = label.top(); y <= label.bottom(); ++y) {
                    const double l = luminance(at(shown, x, y)), b = luminance(background);
                    if ((std::max(l, b) + 0.05) / (std::min(l, b) + 0.05) >= 4.5) first = std::min(first, x), last = std::max(last, x);
                }
            EXPECT_GE(last - first, label.width() - 2 * 14 - 4) << ratio << " " << picture.name().toStdString();
        }
    }
}

TEST(Plans, ReceivedNamesFitAndNeverTakeAnExistingOneAndWhatASendLeavesOutIsNamed) {
    test::TempDir dir;
    const auto longest = std::string(251, 'a') + ".txt";  // 255 bytes, the most a name may hold
    for (const std::string name : {"report.pdf", "report 2.pdf", "Photos", "archive.tar.gz", ".bashrc", longest.c_str()})
        std::ofstream(dir.path() / name) << "x";
    fs::create_symlink(dir.path() / "missing", dir.path() / "Link");
    std::string wide;  // 90 characters of 3 bytes: legal on Windows, 274 bytes with ".txt"
    for (int i = 0; i < 90; ++i) wide += "\xE6\xBC\xA2";
    const struct { std::string name; std::set<std::string> taken; std::string expected; } rows[] = {
        {"report.pdf", {}, "report 3.pdf"}, {"Photos", {}, "Photos 2"}, {"archive.tar.gz", {}, "archive.tar 2.gz"},
        {".bashrc", {}, ".bashrc 2"}, {"Link", {}, "Link 2"}, {"new.txt", {}, "new.txt"},
        {"new.txt", {"new.txt", "new 2.txt"}, "new 3.txt"},
        {longest, {}, std::string(249, 'a') + " 2.txt"},
        {std::string(250, 'b') + ".txt", {}, std::string(250, 'b') + ".txt"},
        {std::string(251, 'b') + ".txt", {}, std::string(251, 'b') + ".txt"},
        {std::string(252, 'b') + ".txt", {}, std::string(251, 'b') + ".txt"},
        {wide + ".txt", {}, wide.substr(0, 249) + ".txt"},  // cut between characters, not inside one
    };
    for (const auto& row : rows)
        EXPECT_EQ(ReceivePlan::uniqueName(row.name, dir.path(), row.taken), row.expected) << row.name;
    // What the user reads once an item is saved.
    AgentClient::OutboxItem item;
    item.files = {{"Box/ok", 1}};
    const auto saved = ReceivePlan::make(item, dir.path()).saved();
    EXPECT_EQ((std::vector<std::string>{saved.pill, saved.noticeTitle, saved.noticeBody}),
              (std::vector<std::string>{"Saved Box to " + dir.path().filename().string(), "Received Box from Windows",
                                        "Saved to " + dir.path().filename().string() + ". Click to show in the file manager."}));
    // What a send leaves out is named, with why when it is one thing; the box's folder is its last name.
    const std::pair<std::string, std::string> folders[] = {
        {"C:\\Users\\Name\\Desktop", "Desktop"}, {"C:\\Users\\Name\\Desktop\\", "Desktop"}, {"D:/Shared//", "Shared"},
        {"C:\\", "C:"}, {"\\", "Windows"}, {"", "Windows"}, {"Inbox", "Inbox"}};
    for (const auto& [dest, name] : folders) EXPECT_EQ(SendPlan::folderName(dest), name) << dest;
    const auto at = [&](const std::string& rel) { return dir.path() / rel; };
    for (const auto& file : {"F/a.txt", "F/.DS_Store", "other/F/b.txt"}) test::writeFile(at(file), "x");
    fs::create_symlink("a.txt", at("F/link"));
    for (const auto& fifo : {"F/fifo", "topfifo"}) ASSERT_EQ(::mkfifo(at(fifo).c_str(), 0600), 0);
    // Folders of 250-byte names, 17 deep: the deepest has a path longer than the system takes.
    ASSERT_EQ(test::runCommand("cd '" + at("F").string() + "' && python3 -c \"import os\nfor _ in range(17): os.mkdir('d' * 250); "
                                                         "os.chdir('d' * 250)\"").status, 0);
    std::string deep = "F";
    for (int i = 0; i < 17; ++i) deep += "/" + std::string(250, 'd');
    const auto plan = SendPlan::make({at("F"), at("topfifo"), at("gone"), at("other/F")});
    test::runCommand("rm -rf '" + at("F").string() + "'");  // deeper than the library's own removal reaches
    using Why = SendPlan::LeftOut::Why;
    std::vector<std::pair<std::string, Why>> leftOut;
    for (const auto& left : plan.leftOut) leftOut.emplace_back(left.rel, left.why);
    EXPECT_EQ(plan.names, std::vector<std::string>{"F"});
    EXPECT_EQ(plan.entries.size(), 1u);
    EXPECT_EQ(leftOut, (std::vector<std::pair<std::string, Why>>{{deep, Why::unreadable}, {"F/fifo", Why::notFileOrFolder},
        {"F/link", Why::notFileOrFolder}, {"topfifo", Why::notFileOrFolder}, {"gone", Why::gone}, {"F", Why::sameName}}));
    const std::pair<std::vector<SendPlan::LeftOut>, std::string> texts[] = {{{{"x", Why::gone}}, "\"x\" is no longer there."},
        {{{"x", Why::sameName}}, "\"x\" has the name of another item sent."},
        {{{"x", Why::notFileOrFolder}}, "\"x\" is not a file or folder."}, {{{"x", Why::unreadable}}, "\"x\" could not be read."},
        {{{"x\n", Why::gone}, {"y", Why::gone}}, "\"x\\n\" and 1 more could not be sent."}};
    for (SendPlan with; const auto& [leftOut, text] : texts) {
        with.leftOut = leftOut;
        EXPECT_EQ(with.describeLeftOut(), text);
    }
}

// Bytes from the box that are no picture, or a picture cut short after its header, decode to nothing: no
// picture at all, never a stand-in of a pixel.
TEST_F(SharingViews, BytesThatAreNoPictureDecodeToNothing) {
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(image.save(&buffer, "PNG"));
    ASSERT_EQ(platform::Pasteboard::decodedPNG(png).image.size(), QSize(40, 30));
    for (const QByteArray& bytes : {QByteArray("not a picture"), QByteArray(), png.left(40)}) {
        const QImage decoded = platform::Pasteboard::decodedPNG(bytes).image;
        EXPECT_TRUE(decoded.isNull()) << bytes.size() << " bytes decode to " << decoded.width() << "x" << decoded.height();
    }
}

} // namespace
} // namespace corvane
