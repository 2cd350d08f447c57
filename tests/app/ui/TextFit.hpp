#pragma once

#include "app/ui/TextLines.hpp"
#include "app/ui/WrappingCheckBox.hpp"
#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOption>
#include <QTabBar>
#include <QToolButton>
#include <string>

namespace corvane::test {

// Every label's and button's text (check boxes, radio buttons, push buttons, tabs) shown in `root` that its
// rectangle does not hold whole: the text's width and height by its font, wrapped where the widget wraps,
// must fit where the widget draws it. A text cut with an ellipsis passes only where the app cut it on
// purpose, which it does to box text alone and then offers the whole as the tool tip. A tab bar shows all
// its tabs without scroll arrows. One line per fault, naming the widget and its text; empty when all fit.
inline std::string cutTexts(QWidget& root) {
    std::string out;
    const auto report = [&out](const QWidget* w, const QString& text, QSize needs, QSize has) {
        out += std::string(w->metaObject()->className()) + " \"" + text.left(120).toStdString() + "\": needs " +
               std::to_string(needs.width()) + "x" + std::to_string(needs.height()) + ", has " + std::to_string(has.width()) +
               "x" + std::to_string(has.height()) + "\n";
    };
    // Whether `text` at `font` wrapped (or not) into `area` fits it.
    const auto check = [&](const QWidget* w, const QString& text, const QFont& font, QRect area, bool wrap, bool mnemonic) {
        if (text.isEmpty()) return;
        const int flags = (wrap ? Qt::TextWordWrap : 0) | (mnemonic ? Qt::TextShowMnemonic : 0);
        const QRect needs = QFontMetrics(font).boundingRect(QRect(0, 0, wrap ? area.width() : 1 << 20, 1 << 20), flags, text);
        if (needs.width() > area.width() || needs.height() > area.height()) report(w, text, needs.size(), area.size());
        if (text.contains(QChar(0x2026)) && w->toolTip().isEmpty())
            out += "cut without its whole text: \"" + text.left(120).toStdString() + "\"\n";
    };
    for (QWidget* w : root.findChildren<QWidget*>()) {
        if (w->isWindow() || !w->isVisibleTo(&root)) continue;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            const int margin = label->margin();
            check(label, label->text(), label->font(), label->contentsRect().adjusted(margin, margin, -margin, -margin),
                  label->wordWrap(), label->buddy() != nullptr);
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            QStyleOptionButton option;
            option.initFrom(box);
            QRect area = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
            const bool wraps = dynamic_cast<WrappingCheckBox*>(box) != nullptr;
            if (wraps) {
                // The first line sits where a check box of one line centres it, the others below.
                QCheckBox line("x");
                line.setFont(box->font());
                area.setTop((line.sizeHint().height() - QFontMetrics(box->font()).height()) / 2);
            }
            check(box, box->text(), box->font(), area, wraps, true);
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(radio);
            const QRect area = radio->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
            check(radio, radio->text(), radio->font(), area, false, true);
        } else if (auto* push = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(push);
            QRect area = push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push);
            if (!push->icon().isNull()) area.setLeft(area.left() + push->iconSize().width() + 4);
            check(push, push->text(), push->font(), area, false, true);
        } else if (auto* tool = qobject_cast<QToolButton*>(w)) {
            if (tool->toolButtonStyle() != Qt::ToolButtonIconOnly)
                check(tool, tool->text(), tool->font(), tool->rect(), false, true);
        } else if (auto* lines = qobject_cast<TextLines*>(w)) {
            // Wrapped anywhere and cut after its lines by rule: each line shown whole.
            const QStringList shown = lines->lines(lines->width());
            const QRect area = lines->rect();
            for (int i = 0; i < shown.size(); ++i)
                check(lines, shown[i], lines->font(), area.adjusted(0, i * lines->fontMetrics().lineSpacing(), 0, 0), false, false);
        } else if (auto* bar = qobject_cast<QTabBar*>(w)) {
            for (QToolButton* arrow : bar->findChildren<QToolButton*>())
                if (arrow->isVisible()) out += "tab bar scrolls: only part of its tabs shows\n";
            for (int i = 0; i < bar->count(); ++i) {
                QStyleOptionTab option;
                option.initFrom(bar);
                option.rect = bar->tabRect(i);
                option.text = bar->tabText(i);
                option.icon = bar->tabIcon(i);
                option.iconSize = bar->iconSize();
                option.shape = bar->shape();
                if (!bar->rect().contains(option.rect)) out += "tab \"" + option.text.toStdString() + "\" lies outside its bar\n";
                const QRect text = bar->style()->subElementRect(QStyle::SE_TabBarTabText, &option, bar);
                check(bar, option.text, bar->font(), text, false, true);
            }
        }
    }
    return out;
}

// The TextLines shown in `root` that carry `text`: how many there are, and one line per one that does not
// show it whole (on fewer lines than it wraps into, or in less height than those lines need).
struct WholeText {
    int shown = 0;
    std::string faults;
};
inline WholeText wholeText(QWidget& root, const std::string& text) {
    WholeText out;
    for (auto* lines : root.findChildren<TextLines*>()) {
        if (!lines->isVisibleTo(&root) || lines->text().toStdString() != text) continue;
        ++out.shown;
        if (lines->lines(lines->width()).join("").toStdString() != text)
            out.faults += "cut at width " + std::to_string(lines->width()) + "\n";
        if (lines->height() < lines->heightForWidth(lines->width()))
            out.faults += "height " + std::to_string(lines->height()) + " of " +
                          std::to_string(lines->heightForWidth(lines->width())) + "\n";
    }
    return out;
}

} // namespace corvane::test
