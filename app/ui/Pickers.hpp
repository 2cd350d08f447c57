#pragma once

#include <QComboBox>
#include <QWidget>

#include <vector>

class QButtonGroup;

namespace corvane {

// One choice of a picker: its label, the value it stands for, and whether it may be picked.
struct Choice {
    QString label;
    int value = 0;
    bool available = true;
};

// A segmented picker: exclusive checkable buttons. A stored value not among the choices checks none.
class SegmentedPicker final : public QWidget {
    Q_OBJECT
public:
    SegmentedPicker(std::vector<Choice> choices, int width, QWidget* parent = nullptr);
    void setCurrent(int value);
    int current() const;  // -1 when none is checked
    // The user picks a value (never emitted by setCurrent).
    Q_SIGNAL void chosen(int value);
    QButtonGroup* group() const { return group_; }

private:
    std::vector<Choice> choices_;
    QButtonGroup* group_;
};

// A pop-up picker. A stored value not among the choices is shown as an extra entry and never changed; an
// unavailable choice is greyed out and cannot be picked, but stays shown when it is the stored value.
class PopupPicker final : public QComboBox {
    Q_OBJECT
public:
    PopupPicker(int width, QWidget* parent = nullptr);
    // Rebuilds the entries only when they differ; `unlisted` labels a current value not among them.
    void setChoices(std::vector<Choice> choices, int current, const QString& unlisted = {});
    Q_SIGNAL void chosen(int value);

private:
    std::vector<Choice> choices_;
};

} // namespace corvane
