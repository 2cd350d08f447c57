#include "app/ui/Acknowledgements.hpp"

#include "app/ui/TextStyle.hpp"

#include <QApplication>
#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

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

void show() {
    if (theWindow) {
        theWindow->show();
        theWindow->raise();
        theWindow->activateWindow();
        return;
    }
    const QFont base = QApplication::font();
    QFont entry = base;
    entry.setBold(true);
    entry.setPointSizeF(base.pointSizeF() + 1);
    QFont section = base;
    section.setBold(true);
    section.setPointSizeF(base.pointSizeF() + 3);
    const QFont licenceFont = textFont(TextStyle::licence);
    const QColor label = QApplication::palette().color(QPalette::WindowText);
    const QColor secondary = QApplication::palette().color(QPalette::PlaceholderText);

    auto* view = new QTextEdit;
    view->setObjectName("acknowledgements");
    view->setWindowTitle("Acknowledgements");
    view->setReadOnly(true);
    view->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->document()->setDocumentMargin(16);
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
            add(QString(row.name) + "\n", entry, label);
            add(QString(row.use) + "\n\n", base, secondary);
            add(licence(from / row.file) + "\n\n\n", licenceFont, label);
        }
    };
    entries(components, folder());
    add("On the box\n\n", section, label);
    entries(boxComponents, folder() / "box");
    view->moveCursor(QTextCursor::Start);
    view->resize(560, 520);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        view->move(screen->availableGeometry().center() - view->rect().center());
    theWindow = view;
    view->show();
    view->raise();
    view->activateWindow();
}

} // namespace corvane::Acknowledgements
