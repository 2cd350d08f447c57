#pragma once

#include <QLabel>

namespace corvane {

// One line of text from the box (a name, a version) cut with an ellipsis to the width its layout gives it,
// at the end or in the middle; cut, it offers the whole text as its tool tip. It asks for the whole text's
// width and takes less where the row has no more. Until it is shown it holds the whole text.
class ElidedLabel final : public QLabel {
public:
    explicit ElidedLabel(Qt::TextElideMode mode = Qt::ElideRight, QWidget* parent = nullptr);

    // Shown as plain text, cut to fit.
    void setWholeText(const QString& text);
    const QString& wholeText() const { return whole_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fit();

    Qt::TextElideMode mode_;
    QString whole_;
};

} // namespace corvane
