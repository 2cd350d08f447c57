#pragma once

#include <QLabel>

namespace corvane {

// One line of plain text that takes the width its layout gives it and never asks for more: the font
// shrinks down to `minimumScale` of its size, then the end is cut with an ellipsis.
class ShrinkingLabel final : public QLabel {
public:
    explicit ShrinkingLabel(double minimumScale, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // The font the text is drawn in at `width`.
    QFont fittedFont(int width) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double minimumScale_;
};

} // namespace corvane
