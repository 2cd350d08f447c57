#include "app/window/StreamWindowWidget.hpp"

#include <QCloseEvent>
#include <QVBoxLayout>

namespace corvane {

StreamWindowWidget::StreamWindowWidget(QWidget* content) {
    setWindowTitle(QStringLiteral("Windows"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
}

void StreamWindowWidget::clearDelegate() {
    onClose = nullptr;
    onResized = nullptr;
    onFullScreenChanged = nullptr;
    onResignKey = nullptr;
}

void StreamWindowWidget::closeEvent(QCloseEvent* event) {
    event->accept();
    // Taken out first: the handler tears the stream down, which clears the delegate.
    if (auto handler = onClose) handler();
}

void StreamWindowWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (auto handler = onResized) handler();
}

void StreamWindowWidget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        const bool now = isFullScreen();
        if (now != fullScreen_) {
            fullScreen_ = now;
            if (auto handler = onFullScreenChanged) handler(now);
        }
    } else if (event->type() == QEvent::ActivationChange && !isActiveWindow()) {
        if (auto handler = onResignKey) handler();
    }
}

}  // namespace corvane
