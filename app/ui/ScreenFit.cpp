#include "app/ui/ScreenFit.hpp"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFrame>
#include <QLayout>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace corvane::ScreenFit {

QScrollArea* scrollArea(QWidget* content) {
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // No Tab stop of its own, where it would show nothing. Focus that comes in from outside (the Tab key from
    // a tab bar) is brought into view as the scroll area does for focus moving within it.
    scroll->setFocusPolicy(Qt::NoFocus);
    QObject::connect(qApp, &QApplication::focusChanged, scroll, [scroll](QWidget*, QWidget* now) {
        if (now && scroll->widget() && scroll->widget()->isAncestorOf(now)) scroll->ensureWidgetVisible(now);
    });
    scroll->setWidget(content);
    return scroll;
}

namespace {

// Brings a shown window's frame back inside the free area; false while the frame is not known yet.
bool keepInside(QWidget& window) {
    const QRect framed = window.frameGeometry();
    if (!window.isVisible() || framed == window.geometry()) return false;
    const QRect area = window.screen()->availableGeometry();
    if (area.contains(framed)) return true;
    QPoint corner = framed.topLeft();
    corner.setX(std::clamp(corner.x(), area.left(), std::max(area.left(), area.right() + 1 - framed.width())));
    corner.setY(std::clamp(corner.y(), area.top(), std::max(area.top(), area.bottom() + 1 - framed.height())));
    window.move(corner);
    return true;
}

// Checks the frame again once the window manager has framed and placed the window, and after every change
// of its size as the window manager applies it: a growth may come to be applied after an earlier size's frame
// was checked, and moves the window no further. A window that keeps the place it asked for hears of its frame
// from no move or resize: its first exposure after being framed counts too.
class KeptInside final : public QObject {
public:
    static constexpr const char* kName = "keptInside";
    explicit KeptInside(QWidget& window) : QObject(&window), window_(window) {
        setObjectName(kName);
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::Show:
            if (watched == &window_ && window_.windowHandle()) window_.windowHandle()->installEventFilter(this);
            break;
        case QEvent::Hide: placed_ = false; break;
        case QEvent::Resize:
            if (watched == &window_) placed_ = keepInside(window_) || placed_;
            break;
        // Moves count only until it is placed, so that one the user moves partly off the screen stays there.
        case QEvent::Move:
        case QEvent::Expose:
            if (!placed_) placed_ = keepInside(window_);
            break;
        default: break;
        }
        return false;
    }

private:
    QWidget& window_;
    bool placed_ = false;
};

} // namespace

void fit(QWidget& window, QScrollArea& scroll, int width, QSize chrome) {
    const QScreen* on = window.screen();
    QWidget* content = scroll.widget();
    if (!on || !content) return;
    // Its layouts would otherwise answer from sizes cached before the latest change, until a later pass: a
    // layout whose widget is not shown yet, or was just made, passes its children's changes on only then.
    // Each is brought up to date, the innermost first.
    const QList<QLayout*> layouts = content->findChildren<QLayout*>();
    for (auto it = layouts.rbegin(); it != layouts.rend(); ++it) (*it)->activate();
    // Content narrower than the window (a page of fixed width) is measured at its own width.
    const int measured = content->heightForWidth(std::min(width, content->maximumWidth()));
    const int wanted = measured >= 0 ? measured : content->sizeHint().height();
    const QRect area = on->availableGeometry();
    // Before the window manager has framed the window its frame is unknown: assume a title bar's worth.
    const QRect outer = window.frameGeometry();
    const bool framed = window.isVisible() && outer != window.geometry();
    const int frameHeight = framed ? outer.height() - window.height() : 48;
    const int frameWidth = framed ? outer.width() - window.width() : 8;
    const int room = std::max(120, area.height() - frameHeight - chrome.height());
    const int bar = wanted > room ? scroll.verticalScrollBar()->sizeHint().width() : 0;
    const QSize size(std::min(width + chrome.width() + bar, area.width() - frameWidth), std::min(wanted, room) + chrome.height());
    if (size != window.size() || window.minimumSize() != size) window.setFixedSize(size);
    // A window that keeps its size still has content of a new height: the scroll area sizes it afresh.
    QEvent request(QEvent::LayoutRequest);
    QCoreApplication::sendEvent(&scroll, &request);
    if (!window.findChild<QObject*>(KeptInside::kName, Qt::FindDirectChildrenOnly)) new KeptInside(window);
    keepInside(window);
}

} // namespace corvane::ScreenFit
