#pragma once

#include <QBasicTimer>
#include <QWidget>

namespace corvane {

// The busy indicator: an arc turning in the text colour, ticking only while it is on screen.
class Spinner final : public QWidget {
public:
    explicit Spinner(int size, QWidget* parent = nullptr);
    QSize sizeHint() const override { return {size_, size_}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    int size_;
    int angle_ = 0;
    QBasicTimer timer_;
};

} // namespace corvane
