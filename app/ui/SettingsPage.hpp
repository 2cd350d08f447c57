#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace corvane {

// The page every settings tab is laid out on: 570 wide with 24 around, sections with a headline title,
// rows with a 130-wide right-aligned label column and their control, and notes under the controls,
// aligned with the control column. Rows and notes go into the section added last. Over its pickers, sliders
// and number fields the wheel scrolls the page, unless the user has clicked into the one under the pointer.
class SettingsPage : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 570;
    static constexpr int kLabelWidth = 130;
    // What a row leaves its control: the page less its insets, the label column and the gap after it.
    static constexpr int kControlWidth = kWidth - 2 * 24 - kLabelWidth - 12;

    explicit SettingsPage(QWidget* parent = nullptr);

    // Only the page shown asks for room, never wider than the page: a tab widget sizes itself to the
    // largest of all its pages, and a row's control may ask for more than the page has.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

    // A titled group; later rows and notes go into it.
    QWidget* addSection(const QString& title);
    // A row: "label:" (nothing for an empty label) in the label column, then the control.
    QWidget* addRow(const QString& label, QWidget* control);
    QWidget* addRow(const QString& label, QLayout* controls);
    // A wrapping caption under the controls.
    QLabel* addNote(const QString& text);
    void addDivider();

protected:
    QVBoxLayout* page_;
    QVBoxLayout* section_ = nullptr;
};

} // namespace corvane
