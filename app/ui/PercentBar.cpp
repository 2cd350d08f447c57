#include "app/ui/PercentBar.hpp"

#include "app/ui/TextStyle.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>
#include <cmath>

namespace corvane {

PercentBar::PercentBar(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setMaximumHeight(6);
    row->addWidget(bar_, 1);
    label_ = new QLabel(this);
    label_->setFixedWidth(38);
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
