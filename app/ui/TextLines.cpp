#include "app/ui/TextLines.hpp"

#include <QPainter>
#include <QTextLayout>

namespace corvane {

TextLines::TextLines(int maxLines, QWidget* parent) : QWidget(parent), maxLines_(maxLines) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void TextLines::setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    updateGeometry();
    update();
}

void TextLines::setMaxLines(int maxLines) {
    if (maxLines == maxLines_) return;
    maxLines_ = maxLines;
    updateGeometry();
    update();
}

QStringList TextLines::lines(int width) const {
    QStringList result;
    for (const QString& paragraph : text_.split('\n')) {
        QTextLayout layout(paragraph, font());
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max(width, 1));
            result << paragraph.mid(line.textStart(), line.textLength());
            if (result.size() == maxLines_) break;
        }
        layout.endLayout();
        if (result.size() == maxLines_) break;
    }
    return result;
}

int TextLines::heightForWidth(int width) const {
    return static_cast<int>(lines(width).size()) * fontMetrics().lineSpacing();
}

QSize TextLines::sizeHint() const { return {200, heightForWidth(width() > 0 ? width() : 200)}; }
QSize TextLines::minimumSizeHint() const { return {40, fontMetrics().lineSpacing()}; }

void TextLines::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    int y = fontMetrics().ascent();
    for (const QString& line : lines(width())) {
        painter.drawText(0, y, line);
        y += fontMetrics().lineSpacing();
    }
}

} // namespace corvane
