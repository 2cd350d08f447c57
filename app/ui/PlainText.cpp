#include "app/ui/PlainText.hpp"

#include <QLabel>
#include <QTextDocument>

namespace corvane::PlainText {

QString mnemonicSafe(std::string_view text) { return cut(text).replace('&', "&&"); }

QString toolTip(const QString& text) { return text.isEmpty() ? text : Qt::convertFromPlainText(text); }

QLabel* label(QWidget* parent, const QString& text) {
    auto* result = new QLabel(parent);
    result->setTextFormat(Qt::PlainText);
    result->setText(text);
    return result;
}

} // namespace corvane::PlainText
