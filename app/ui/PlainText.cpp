#include "app/ui/PlainText.hpp"

#include <QLabel>

namespace corvane::PlainText {

QString cut(std::string_view text, int maxChars) {
    QString result = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (result.size() > maxChars) {
        qsizetype end = maxChars;
        if (result.at(end - 1).isHighSurrogate()) --end;  // never split a character in two
        result = result.left(end) + QChar(0x2026);
    }
    return result;
}

QString mnemonicSafe(std::string_view text) { return cut(text).replace('&', "&&"); }

QLabel* label(QWidget* parent, const QString& text) {
    auto* result = new QLabel(parent);
    result->setTextFormat(Qt::PlainText);
    result->setText(text);
    return result;
}

} // namespace corvane::PlainText
