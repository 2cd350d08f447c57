#include "app/ui/PlainText.hpp"

#include <QFontMetrics>
#include <QLabel>
#include <QTextDocument>

namespace corvane::PlainText {

QString mnemonicSafe(std::string_view text) { return cut(text).replace('&', "&&"); }

QString toolTip(const QString& text) { return text.isEmpty() ? text : Qt::convertFromPlainText(text); }

QString shortWords(const QString& text, const QFontMetrics& metrics, int width) {
    QString result;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && !text.at(end).isSpace()) ++end;
        const QString word = text.mid(start, end - start);
        result += metrics.horizontalAdvance(word) > width ? metrics.elidedText(word, Qt::ElideRight, width) : word;
        while (end < text.size() && text.at(end).isSpace()) result += text.at(end++);
        start = end;
    }
    return result;
}

void offerWhole(QWidget* widget, const QString& shown, const QString& whole) {
    const QString tip = shown != whole || whole.contains(QChar(0x2026)) ? toolTip(whole) : QString();
    if (tip != widget->toolTip()) widget->setToolTip(tip);
}

QLabel* label(QWidget* parent, const QString& text) {
    auto* result = new QLabel(parent);
    result->setTextFormat(Qt::PlainText);
    result->setText(text);
    return result;
}

} // namespace corvane::PlainText
