// Box text with markup in it reaches every label, tool tip, title and menu item that shows it as it is.
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/TrayMenu.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QMenu>
#include <QTextDocument>

namespace corvane {
namespace {

constexpr const char* kMarkup = "<b>Zq</b><img src=\"/nonexistent/zq.png\">";

// A text as Qt draws it: markup read where Qt reads it (rich text, or a guess of it).
QString drawn(const QString& text, bool rich) {
    if (!rich) return text;
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

class BoxTextTest : public test::UiFixture {};

TEST_F(BoxTextTest, MarkupFromTheBoxIsNeverRead) {
    const std::string markup(kMarkup);
    AgentClient::Info info;
    info.boxName = info.agentVersion = markup;
    info.windows = markup;
    AgentClient::BoxStatus status{markup, markup, 10, 20, 1, 2, 1, 2, 50, 60};
    setBox({.phase = BoxController::Phase::failed(markup), .linkUp = true, .boxFound = true, .boxName = markup,
            .boxInfo = info, .boxStatus = status});
    setUpdates({.boxUpdates = {{markup, markup}}, .boxHostVersion = markup});
    MainWindow main(*box);
    SettingsWindow settings(*box);
    TrayMenu tray(*box, {});
    int labels = 0, tips = 0, items = 0;
    const auto check = [](const QString& text, bool rich, const QString& where) {
        if (!text.contains("Zq")) return 0;
        EXPECT_TRUE(drawn(text, rich).contains(kMarkup)) << where.toStdString() << ": " << text.toStdString();
        return 1;
    };
    for (QWidget* top : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&settings)}) {
        QList<QWidget*> widgets = top->findChildren<QWidget*>();
        for (QWidget* widget : widgets << top) {
            tips += check(widget->toolTip(), Qt::mightBeRichText(widget->toolTip()), "tool tip");
            check(widget->windowTitle(), false, "title");
            if (auto* label = qobject_cast<QLabel*>(widget))
                labels += check(label->text(), label->textFormat() == Qt::RichText ||
                                                    (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text())),
                                "label");
        }
    }
    setBox({.phase = BoxController::Phase::of(BoxController::Phase::Kind::ready), .boxName = markup});
    for (QAction* action : tray.menu()->actions()) items += check(action->text().replace("&&", "&"), false, "menu");
    // Seen: the main window's subtitle, detail and load card, the settings' box name, versions and updates; the
    // load card's tip; the tray's first line.
    EXPECT_EQ(labels, 7);
    EXPECT_EQ(tips, 1);
    EXPECT_EQ(items, 1);
}

}  // namespace
}  // namespace corvane
