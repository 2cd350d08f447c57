#pragma once

#include <QWidget>

class QLabel;
class QProgressBar;

namespace corvane {

// A thin progress bar with its whole-number percentage beside it. A value that is not a number shows as
// an empty bar and 0%.
class PercentBar final : public QWidget {
    Q_OBJECT
public:
    explicit PercentBar(QWidget* parent = nullptr);

    void setValue(double value);
    QString text() const;
    // The bar's fill in thousandths.
    int fill() const;

    // 0 at or below 0; otherwise the value capped at 1, in percent, rounded with halves away from zero.
    static int percent(double value);
    // The value within 0...1.
    static double clamped(double value);

private:
    QProgressBar* bar_;
    QLabel* label_;
};

} // namespace corvane
