#include "app/ui/PercentBar.hpp"

#include "app/ui/TextStyle.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

// The percentage: 38 wide, or as wide as the widest figure it can show in its font where that is wider, so
// "100%" shows whole at any text size. Measured when the layout asks, so it follows a change of the font.
class PercentLabel final : public QLabel {
public:
    using QLabel::QLabel;
    QSize sizeHint() const override {
        const QFontMetrics metrics = fontMetrics();
        int widest = 0;
        for (int figure = 0; figure <= 100; ++figure)
            widest = std::max(widest, metrics.size(0, QString::number(figure) + '%').width());
        const QMargins margins = contentsMargins();
        return {std::max(38, widest + margins.left() + margins.right() + 2 * margin()), QLabel::sizeHint().height()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }
};

} // namespace

PercentBar::PercentBar(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setMaximumHeight(6);
    row->addWidget(bar_, 1);
    label_ = new PercentLabel(this);
    label_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont font = textFont(TextStyle::caption);
    font.setStyleHint(QFont::Monospace);
    font.setFamilies({font.family(), "monospace"});
    label_->setFont(font);
    setSecondary(label_);
    row->addWidget(label_);
    setValue(0);
}

void PercentBar::setValue(double value) {
    bar_->setValue(static_cast<int>(std::lround(clamped(value) * 1000)));
    label_->setText(QString::number(percent(value)) + "%");
}

QString PercentBar::text() const { return label_->text(); }
int PercentBar::fill() const { return bar_->value(); }

int PercentBar::percent(double value) {
    if (!(value > 0)) return 0;  // NaN lands here too
    return static_cast<int>(std::round(std::min(value, 1.0) * 100));
}

double PercentBar::clamped(double value) {
    if (std::isnan(value)) return 0;
    return std::clamp(value, 0.0, 1.0);
}

} // namespace corvane
