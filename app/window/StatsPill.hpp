#pragma once

#include <QImage>
#include <QPointer>
#include <QWidget>

class QPainter;

namespace corvane {

class StatsOverlay;

// The overlay's panel: the compact headline pill, or in detailed mode the card. A child of the followed
// window laid over the stream picture as a native panel of its own (OverlayPanel: opaque, clipped to the
// capsule or the card's outline, transparent for input), redrawn whenever the model changes; its size is
// the content's own (fittingSize()), its place is the overlay's to set. Keeps no state of its own.
class StatsPill final : public QWidget {
    Q_OBJECT

public:
    explicit StatsPill(StatsOverlay& model);

    QSize fittingSize() const;
    QSize sizeHint() const override { return fittingSize(); }
    // What a paint draws, with the top left at the painter's origin.
    void draw(QPainter& painter) const;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The capsule or the card's rounded rectangle with its border: drawn once per size (stroking a rounded
    // outline with antialiasing costs more than all the rest of a paint).
    const QImage& frame(QSize size, bool card) const;
    double cornerRadius() const;

    QPointer<StatsOverlay> model_;
    mutable QImage frame_;
    mutable bool frameIsCard_ = false;
};

}  // namespace corvane
