#include "app/ui/Pickers.hpp"

#include "app/ui/Contrast.hpp"
#include "app/ui/Look.hpp"
#include "app/ui/Style.hpp"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStandardItemModel>
#include <QStyleOption>

namespace corvane {
namespace {

// One segment, drawn from the palette of the moment: the chosen one in the accent colour, set off from the
// others by at least 3:1, its text readable on it. A disabled picker is drawn dimmer: its chosen segment in
// the accent at half strength, every text in the disabled text colour, as readable on the chosen segment as
// on the others.
class Segment final : public QPushButton {
public:
    Segment(const QString& text, bool first, bool last, QWidget* parent)
        : QPushButton(text, parent), first_(first), last_(last) {
        setCheckable(true);
        setAutoDefault(false);
    }

    QSize sizeHint() const override {
        const QFontMetrics metrics(font());
        return {metrics.horizontalAdvance(text()) + 20, std::max(26, metrics.height() + 10)};
    }
    QSize minimumSizeHint() const override { return {0, sizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
        const QColor face = palette().color(group, QPalette::Button);
        QColor chosen = Contrast::atLeast(palette().color(QPalette::Active, QPalette::Highlight), {face}, 3.0);
        if (!isEnabled()) {
            chosen.setAlphaF(0.5f);
            chosen = Contrast::over(chosen, face);
        }
        const QColor fill = isChecked() ? chosen : face;
        QColor ink = palette().color(group, QPalette::ButtonText);
        if (isChecked() && !isEnabled()) ink = Contrast::atLeast(ink, {fill}, Contrast::ratio(ink, face));
        if (isChecked() && isEnabled()) {
            ink = palette().color(group, QPalette::HighlightedText);
            if (Contrast::ratio(ink, fill) < 4.5)
                ink = Contrast::ratio(Qt::black, fill) > Contrast::ratio(Qt::white, fill) ? Qt::black : Qt::white;
        }
        // Only the outer ends are rounded; inner edges meet their neighbours.
        const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath path;
        path.addRoundedRect(box, 6, 6);
        if (!first_) path.addRect(box.adjusted(0, 0, -box.width() / 2, 0));
        if (!last_) path.addRect(box.adjusted(box.width() / 2, 0, 0, 0));
        path.setFillRule(Qt::WindingFill);
        painter.fillPath(path.simplified(), fill);
        painter.setPen(QPen(isEnabled() ? Look::outline(palette()) : palette().color(group, QPalette::Mid), 1));
        painter.drawPath(path.simplified());
        painter.setPen(ink);
        painter.drawText(rect(), Qt::AlignCenter | Qt::TextShowMnemonic, text());
        // The segments draw focus only where the keyboard moved it, as styles do.
        if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
            QStyleOption option;
            option.initFrom(this);
            Style::drawFocusRing(&painter, option, rect().adjusted(2, 2, -2, -2), fill);
        }
    }

private:
    bool first_, last_;
};

} // namespace

SegmentedPicker::SegmentedPicker(std::vector<Choice> choices, int width, QWidget* parent)
    : QWidget(parent), choices_(std::move(choices)), group_(new QButtonGroup(this)) {
    setFixedWidth(width);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    group_->setExclusive(true);
    for (std::size_t i = 0; i < choices_.size(); ++i) {
        auto* button = new Segment(QString(choices_[i].label).replace('&', "&&"), i == 0, i + 1 == choices_.size(), this);
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
        if (index < 0 || index >= static_cast<int>(choices_.size())) return;
        const Choice& choice = choices_[static_cast<std::size_t>(index)];
        if (choice.available) Q_EMIT chosen(choice.value);
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
    if (auto* items = qobject_cast<QStandardItemModel*>(model()))
        for (std::size_t i = 0; i < choices.size(); ++i) items->item(static_cast<int>(i))->setEnabled(choices[i].available);
    choices_ = std::move(choices);
    int index = static_cast<int>(choices_.size());
    for (std::size_t i = 0; i < choices_.size(); ++i)
        if (choices_[i].value == current) index = static_cast<int>(i);
    setCurrentIndex(index);
}

} // namespace corvane
