#include "app/ui/Acknowledgements.hpp"

#include "app/ui/CloseKey.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TextStyle.hpp"

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>

namespace corvane::Acknowledgements {
namespace {

QPointer<QTextEdit> theWindow;

// Licence files are a few kilobytes; anything far larger is not one.
constexpr qint64 kMaxLicenceBytes = 1 << 20;

} // namespace

std::filesystem::path folder() {
    if (folderOverride) return *folderOverride;
    return std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / ".." / "share" / "corvane" /
           "Acknowledgements";
}

QString licence(const std::filesystem::path& file) {
    QFile in(QString::fromStdString(file.string()));
    if (!in.open(QIODevice::ReadOnly) || in.size() > kMaxLicenceBytes) return missingLicence;
    return QString::fromUtf8(in.readAll()).trimmed();
}

QWidget* window() { return theWindow; }

std::vector<Component> components() {
    std::vector<Component> rows;
    QFile index(QString::fromStdString((folder() / "index.tsv").string()));
    if (!index.open(QIODevice::ReadOnly) || index.size() > kMaxLicenceBytes) return rows;
    for (const QByteArray& line : index.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 3 || fields[2].contains('/')) continue;
        rows.push_back({fields[0].toStdString(), fields[1].toStdString(), fields[2].toStdString()});
    }
    return rows;
}

namespace {

// Built from the palette in force; built again when it changes, at the same scroll position.
void fill(QTextEdit* view) {
    const int scrolled = view->verticalScrollBar()->value();
    view->clear();
    const QFont base = QApplication::font();
    QFont entry = base;
    entry.setBold(true);
    entry.setPointSizeF(base.pointSizeF() + 1);
    QFont section = base;
    section.setBold(true);
    section.setPointSizeF(base.pointSizeF() + 3);
    const QFont licenceFont = textFont(TextStyle::licence);
    const QColor label = view->palette().color(QPalette::Text);
    const QColor secondary = view->palette().color(QPalette::PlaceholderText);
    QTextCursor cursor(view->document());
    const auto add = [&cursor](const QString& text, const QFont& font, const QColor& color) {
        QTextCharFormat format;
        format.setFont(font);
        format.setForeground(color);
        cursor.insertText(text, format);
    };
    add("Corvane uses this open source software. Thank you to its authors.\n\n", base, label);
    const auto entries = [&](const auto& rows, const std::filesystem::path& from) {
        for (const Component& row : rows) {
            add(QString::fromStdString(row.name) + "\n", entry, label);
            add(QString::fromStdString(row.use) + "\n\n", base, secondary);
            add((row.file.empty() ? QString(onTheBox) : licence(from / row.file)) + "\n\n\n", licenceFont, label);
        }
    };
    entries(components(), folder());
    add("On the box\n\n", section, label);
    entries(boxComponents, folder() / "box");
    view->verticalScrollBar()->setValue(scrolled);
}

} // namespace

void show() {
    if (theWindow) {
        theWindow->show();
        theWindow->raise();
        theWindow->activateWindow();
        return;
    }
    Look::keepReadable();
    auto* view = new QTextEdit;
    view->setObjectName("acknowledgements");
    view->setWindowTitle("Acknowledgements");
    view->setWindowIcon(Symbols::appIcon());
    view->setReadOnly(true);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    closeOnCtrlW(*view);
    view->document()->setDocumentMargin(16);
    fill(view);
    Look::onChange(view, [view] { fill(view); });
    view->moveCursor(QTextCursor::Start);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 560, 520);
    view->resize(std::min(560, area.width() - 16), std::min(520, area.height() - 64));
    view->move(area.center() - view->rect().center());
    theWindow = view;
    view->show();
    view->raise();
    view->activateWindow();
}

} // namespace corvane::Acknowledgements
