#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRect>

#include <functional>

class QColor;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;
class QWidget;

namespace corvane {

namespace stream {
class StreamView;
}

// The drop target over the stream window: takes the drags its catcher hands over from the window, and while
// one is over it shows its look: the window tinted in the accent colour and framed, with a "Drop to copy to
// Windows" label in the middle. The look is no window of its own but drawn by the stream view over the moving
// picture in its own pass: a translucent window over the picture's GL surface cannot blend with it where no
// compositor runs (it shows stale pixels, and its alpha visual defeats the window's backing store). A window
// without a stream view shows nothing. Main thread only.
class DropTargetView final : public QObject {
    Q_OBJECT
public:
    explicit DropTargetView(QWidget& window, QObject* parent = nullptr);
    ~DropTargetView() override;  // takes its look off the picture

    // Gets the dropped data; answers whether the drop is taken.
    std::function<bool(const QMimeData&)> onDrop;
    std::function<void()> onLeave;

    bool highlighted() const { return highlighted_; }
    void setHighlighted(bool on);
    // Lays the look again at the window's size (it changed), while highlighted.
    void relayout();

    // The drag over the window, as the window got it.
    void dragEnter(QDragEnterEvent& event);
    void dragMove(QDragMoveEvent& event);
    void dragLeave();
    void drop(QDropEvent& event);

    // The highlighted look over a window of `size` (logical pixels) drawn at `ratio` device pixels each.
    static QImage look(QSize size, double ratio, const QColor& accent);
    // Where the label lies in that look.
    static QRect labelRect(QSize size);

private:
    void showLook();
    void hideLook();

    QPointer<QWidget> window_;
    QPointer<stream::StreamView> shownOn_;  // the view the look is laid over
    bool highlighted_ = false;
};

} // namespace corvane
