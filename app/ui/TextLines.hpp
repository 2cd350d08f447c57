#pragma once

#include <QWidget>

namespace corvane {

// Plain text wrapped to the widget's width and cut after a number of lines (QLabel has no such limit), 0 for
// as many as it needs. A cut text ends in an ellipsis and offers the whole as the tool tip.
class TextLines final : public QWidget {
    Q_OBJECT
public:
    explicit TextLines(int maxLines, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    void setMaxLines(int maxLines);
    int maxLines() const { return maxLines_; }
    // The lines shown at the given width, at most maxLines; the last ends in an ellipsis when text is cut.
    QStringList lines(int width) const;
    bool isCut(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Every line the text wraps into at `width`.
    QStringList wrap(int width) const;
    void offerWhole();

    int maxLines_;
    QString text_;
};

} // namespace corvane
