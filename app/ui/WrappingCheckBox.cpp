#include "app/ui/WrappingCheckBox.hpp"

#include <QStyleOptionButton>
#include <QStylePainter>

#include <algorithm>

namespace corvane {

WrappingCheckBox::WrappingCheckBox(const QString& text, int maxWidth, QWidget* parent)
    : QCheckBox(text, parent), maxWidth_(maxWidth) {}

int WrappingCheckBox::indent() const {
    return style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this) +
           style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, this);
}

QSize WrappingCheckBox::sizeHint() const {
    const int width = std::min(QCheckBox::sizeHint().width(), maxWidth_);
    const QRect text = fontMetrics().boundingRect(QRect(0, 0, std::max(1, width - indent()), 1 << 20),
                                                  Qt::TextWordWrap, this->text());
    // The extra lines add their height to the one a plain checkbox has.
    return {width, lineHeight() + std::max(0, text.height() - fontMetrics().height())};
}

void WrappingCheckBox::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    // The box sits beside the first line, as it does for a single line.
    const int boxWidth = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this);
    const int boxHeight = style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this);
    option.rect = QRect(0, (lineHeight() - boxHeight) / 2, boxWidth, boxHeight);
    painter.drawPrimitive(QStyle::PE_IndicatorCheckBox, option);
    const QRect area(indent(), (lineHeight() - fontMetrics().height()) / 2, width() - indent(), height());
    style()->drawItemText(&painter, area, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, palette(), isEnabled(), text(),
                          QPalette::WindowText);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = fontMetrics().boundingRect(area, Qt::TextWordWrap, text());
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

} // namespace corvane
