#include "app/ui/TextLines.hpp"

#include "app/ui/PlainText.hpp"

#include <QFontMetrics>
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
    offerWhole();
    updateGeometry();
    update();
}

void TextLines::setMaxLines(int maxLines) {
    if (maxLines == maxLines_) return;
    maxLines_ = maxLines;
    offerWhole();
    updateGeometry();
    update();
}

QStringList TextLines::wrap(int width) const {
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
        }
        layout.endLayout();
    }
    return result;
}

QStringList TextLines::lines(int width) const {
    QStringList result = wrap(width);
    if (maxLines_ <= 0 || result.size() <= maxLines_) return result;
    const QString next = result.at(maxLines_);
    result.resize(maxLines_);
    // The last line shown ends in an ellipsis, so that the cut shows.
    const QFontMetrics metrics(font());
    const QString ellipsis(QChar(0x2026));
    const int room = std::max(width, 1);
    QString last = metrics.elidedText(result.back() + next, Qt::ElideRight, room);
    if (!last.endsWith(ellipsis)) {
        last = metrics.elidedText(result.back(), Qt::ElideRight, room - metrics.horizontalAdvance(ellipsis));
        if (!last.endsWith(ellipsis)) last += ellipsis;
    }
    result.back() = last;
    return result;
}

bool TextLines::isCut(int width) const { return maxLines_ > 0 && wrap(width).size() > maxLines_; }

void TextLines::offerWhole() {
    const QString tip = isCut(width()) ? PlainText::toolTip(text_) : QString();
    if (tip != toolTip()) setToolTip(tip);
}

void TextLines::resizeEvent(QResizeEvent*) { offerWhole(); }

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
