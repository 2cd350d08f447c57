#include "app/ui/Pickers.hpp"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>

namespace corvane {

SegmentedPicker::SegmentedPicker(std::vector<Choice> choices, int width, QWidget* parent)
    : QWidget(parent), choices_(std::move(choices)), group_(new QButtonGroup(this)) {
    setFixedWidth(width);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_->setExclusive(true);
    for (std::size_t i = 0; i < choices_.size(); ++i) {
        auto* button = new QPushButton(QString(choices_[i].label).replace('&', "&&"), this);
        button->setCheckable(true);
        button->setAutoDefault(false);
        group_->addButton(button, static_cast<int>(i));
        row->addWidget(button);
    }
    connect(group_, &QButtonGroup::idClicked, this, [this](int id) { Q_EMIT chosen(choices_[static_cast<std::size_t>(id)].value); });
}

void SegmentedPicker::setCurrent(int value) {
    int id = -1;
    for (std::size_t i = 0; i < choices_.size(); ++i)
        if (choices_[i].value == value) id = static_cast<int>(i);
    if (id >= 0) {
        group_->button(id)->setChecked(true);
        return;
    }
    // An exclusive group cannot uncheck its last button.
    group_->setExclusive(false);
    for (auto* button : group_->buttons()) button->setChecked(false);
    group_->setExclusive(true);
}

int SegmentedPicker::current() const {
    const int id = group_->checkedId();
    return id < 0 ? -1 : choices_[static_cast<std::size_t>(id)].value;
}

PopupPicker::PopupPicker(int width, QWidget* parent) : QComboBox(parent) {
    setFixedWidth(width);
    connect(this, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(choices_.size())) Q_EMIT chosen(choices_[static_cast<std::size_t>(index)].value);
    });
}

void PopupPicker::setChoices(std::vector<Choice> choices, int current, const QString& unlisted) {
    const QSignalBlocker blocker(this);
    bool listed = false;
    for (const Choice& choice : choices) listed = listed || choice.value == current;
    bool same = static_cast<int>(choices.size()) + (listed ? 0 : 1) == count();
    for (std::size_t i = 0; same && i < choices.size(); ++i) same = itemText(static_cast<int>(i)) == choices[i].label;
    if (!same || (!listed && itemText(count() - 1) != unlisted)) {
        clear();
        for (const Choice& choice : choices) addItem(choice.label);
        if (!listed) addItem(unlisted);
    }
    choices_ = std::move(choices);
    int index = static_cast<int>(choices_.size());
    for (std::size_t i = 0; i < choices_.size(); ++i)
        if (choices_[i].value == current) index = static_cast<int>(i);
    setCurrentIndex(index);
}

} // namespace corvane
