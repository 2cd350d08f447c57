#include "app/sharing/DropTargetView.hpp"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QVBoxLayout>

namespace corvane {

DropTargetView::DropTargetView(QWidget* parent) : QWidget(parent) {
    setAcceptDrops(true);
    setAttribute(Qt::WA_TranslucentBackground);
    label_ = new QLabel("Drop to copy to Windows", this);
    label_->setTextFormat(Qt::PlainText);
    label_->setAlignment(Qt::AlignCenter);
    QFont font = label_->font();
    font.setPixelSize(20);
    font.setWeight(QFont::DemiBold);
    label_->setFont(font);
    label_->setStyleSheet("color: white; background: rgba(0,0,0,153); border-radius: 8px; padding: 8px 14px;");
    label_->hide();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_, 0, Qt::AlignCenter);
}

void DropTargetView::setHighlighted(bool on) {
    highlighted_ = on;
    label_->setVisible(on);
    update();
}

void DropTargetView::dragEnterEvent(QDragEnterEvent* event) {
    setHighlighted(true);
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropTargetView::dragMoveEvent(QDragMoveEvent* event) {
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropTargetView::dragLeaveEvent(QDragLeaveEvent*) {
    setHighlighted(false);
    if (onLeave) onLeave();
}

void DropTargetView::dropEvent(QDropEvent* event) {
    setHighlighted(false);
    const QMimeData* data = event->mimeData();
    if (data && onDrop && onDrop(*data)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void DropTargetView::paintEvent(QPaintEvent*) {
    if (!highlighted_) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor accent = palette().color(QPalette::Highlight);
    QColor fill = accent;
    fill.setAlphaF(0.22f);
    p.setBrush(fill);
    p.setPen(QPen(accent, 3.0));
    p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 10, 10);
}

} // namespace corvane
