#pragma once

#include <QPointer>
#include <QWidget>

namespace corvane {

class StatsOverlay;

// The overlay's panel: the compact headline pill, or in detailed mode the card. A mouse-transparent child of
// the followed window, redrawn whenever the model changes; its size is the content's own (fittingSize()),
// its place is the overlay's to set. Keeps no state of its own.
class StatsPill final : public QWidget {
    Q_OBJECT

public:
    explicit StatsPill(StatsOverlay& model);

    QSize fittingSize() const;
    QSize sizeHint() const override { return fittingSize(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPointer<StatsOverlay> model_;
};

}  // namespace corvane
