#include "app/ui/SettingsPage.hpp"

#include "app/ui/PlainText.hpp"
#include "app/ui/TextStyle.hpp"
#include "app/ui/WheelGuard.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace corvane {

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
    setFixedWidth(kWidth);
    page_ = new QVBoxLayout(this);
    page_->setContentsMargins(24, 24, 24, 24);
    page_->setSpacing(18);
    // No alignment for the layout: an aligned layout takes the height its text wants at its widest, and its
    // wrapped notes, taller at the page's width, would squeeze the rows around them. The window is as tall
    // as the page, so there is no room to spare below it.
    // The wheel scrolls a page; a control it passes over changes only once clicked into.
    new WheelGuard(*this);
}

QSize SettingsPage::sizeHint() const {
    if (isHidden()) return {kWidth, 0};
    return {kWidth, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : QWidget::sizeHint().height()};
}

QSize SettingsPage::minimumSizeHint() const { return {kWidth, isHidden() ? 0 : sizeHint().height()}; }

int SettingsPage::heightForWidth(int width) const { return isHidden() ? 0 : QWidget::heightForWidth(width); }

QWidget* SettingsPage::addSection(const QString& title) {
    auto* section = new QWidget(this);
    section_ = new QVBoxLayout(section);
    section_->setContentsMargins(0, 0, 0, 0);
    section_->setSpacing(10);
    auto* heading = PlainText::label(section, title);
    setTextStyle(heading, TextStyle::headline);
    section_->addWidget(heading);
    page_->addWidget(section);
    return section;
}

QWidget* SettingsPage::addRow(const QString& label, QLayout* controls) {
    auto* holder = new QWidget(this);
    controls->setContentsMargins(0, 0, 0, 0);
    holder->setLayout(controls);
    return addRow(label, holder);
}

QWidget* SettingsPage::addRow(const QString& label, QWidget* control) {
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    auto* title = PlainText::label(row, label.isEmpty() ? QString() : label + ":");
    title->setObjectName("rowLabel");
    title->setFixedWidth(kLabelWidth);
    title->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // A label longer than its column, or one in a larger font, takes a second line instead of losing its start.
    title->setWordWrap(true);
    line->addWidget(title);
    control->setParent(row);
    line->addWidget(control);
    line->addStretch();
    section_->addWidget(row);
    return row;
}

QLabel* SettingsPage::addNote(const QString& text) {
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    line->addSpacing(kLabelWidth);
    auto* note = PlainText::label(row, text);
    note->setObjectName("note");
    note->setWordWrap(true);
    setTextStyle(note, TextStyle::caption);
    setSecondary(note);
    line->addWidget(note, 1);
    section_->addWidget(row);
    return note;
}

void SettingsPage::addDivider() {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    page_->addWidget(line);
}

} // namespace corvane
