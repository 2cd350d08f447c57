#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QMimeData;

namespace corvane {

// The panel over the stream window that takes a drop. Clear until a drag is over it; then tinted in the
// accent colour with a framed "Drop to copy to Windows" label.
class DropTargetView final : public QWidget {
    Q_OBJECT
public:
    explicit DropTargetView(QWidget* parent);

    // Gets the dropped data; answers whether the drop is taken.
    std::function<bool(const QMimeData&)> onDrop;
    std::function<void()> onLeave;

    bool highlighted() const { return highlighted_; }
    void setHighlighted(bool on);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool highlighted_ = false;
    QLabel* label_;
};

} // namespace corvane
