#pragma once

#include <QCheckBox>

namespace corvane {

// A checkbox whose text wraps onto further lines past `maxWidth`, instead of being cut at the page's edge.
class WrappingCheckBox final : public QCheckBox {
public:
    WrappingCheckBox(const QString& text, int maxWidth, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

private:
    // Where the text starts: the indicator and the gap after it.
    int indent() const;
    // One line's height, as a plain checkbox has it.
    int lineHeight() const { return QCheckBox::sizeHint().height(); }

    int maxWidth_;
};

} // namespace corvane
