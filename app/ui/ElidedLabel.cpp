#include "app/ui/ElidedLabel.hpp"

#include "app/ui/PlainText.hpp"

#include <QEvent>
#include <QFontMetricsF>

#include <algorithm>
#include <cmath>

namespace corvane {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setWholeText(const QString& text) {
    if (text == whole_ && !text.isEmpty()) return;
    whole_ = text;
    updateGeometry();
    fit();
}

QSize ElidedLabel::sizeHint() const {
    const int margins = contentsMargins().left() + contentsMargins().right() + 2 * margin();
    // The text's own width rounded up: cutting measures it unrounded, and a width rounded down would cut it.
    const auto text = static_cast<int>(std::ceil(QFontMetricsF(font(), this).horizontalAdvance(whole_)));
    return {text + margins, QLabel::sizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    // Room for a few characters and the ellipsis.
    return {std::min(sizeHint().width(), fontMetrics().horizontalAdvance(QString(4, QChar(0x2026)))), sizeHint().height()};
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) fit();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void ElidedLabel::showEvent(QShowEvent* event) {
    QLabel::showEvent(event);
    fit();
}

void ElidedLabel::fit() {
    const int room = contentsRect().width() - 2 * margin();
    const QString shown = isVisible() ? QFontMetricsF(font(), this).elidedText(whole_, mode_, std::max(room, 0)) : whole_;
    if (shown != text()) setText(shown);
    PlainText::offerWhole(this, shown, whole_);
}

} // namespace corvane
