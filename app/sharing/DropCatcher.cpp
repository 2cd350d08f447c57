#include "app/sharing/DropCatcher.hpp"

#include "app/services/Clock.hpp"
#include "app/sharing/DropTargetView.hpp"
#include "platform/dragwatch/DragWatch.hpp"

#include <QCoroTask>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QMimeData>

#include <algorithm>

namespace corvane {

DropCatcher::DropCatcher(Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {}

DropCatcher::~DropCatcher() {
    if (window_) window_->removeEventFilter(this);
}

void DropCatcher::setStreamWindow(QWidget* streamWindow) {
    if (window_ == streamWindow) return;
    if (window_) window_->removeEventFilter(this);
    hide();
    panel_.reset();
    window_ = streamWindow;
    if (!window_) return;
    // X hands a drag to the top-level window; Qt passes it to the widget beneath the pointer that takes drops,
    // or the first of its parents that does: the window, as the stream view and the panels over it take none.
    window_->setAcceptDrops(true);
    window_->installEventFilter(this);
}

void DropCatcher::start() {
    if (watching_) return;
    watching_ = true;
    if (!drags_) {
        drags_ = std::make_unique<platform::DragWatch>();
        connect(drags_.get(), &platform::DragWatch::dragStarted, this, [this] { mouseDragged(); });
    }
    dragCount_ = drags_->changeCount();
}

void DropCatcher::stop() {
    watching_ = false;
    hide();
}

bool DropCatcher::allowed() const { return watching_ && enabled && streamPID && window_ && window_->isVisible(); }

void DropCatcher::mouseDragged() {
    if (!watching_ || !enabled || panelVisible() || !streamPID) return;
    const auto count = drags_->changeCount();
    if (count == dragCount_) return;
    dragCount_ = count;  // taken even when no window shows, so this drag never brings the panel later
    if (window_ && window_->isVisible()) show();
}

void DropCatcher::show() {
    if (!panel_) {
        panel_ = std::make_unique<DropTargetView>(*window_);
        QPointer<DropCatcher> self(this);
        panel_->onLeave = [self] {
            // Without a drag watch nothing else would take the panel down.
            if (self && !(self->drags_ && self->drags_->available())) self->hide();
        };
        panel_->onDrop = [self](const QMimeData& data) {
            if (!self) return false;
            self->hide();
            const auto drop = sort(data);
            if (!drop) return false;
            if (self->onDrop) self->onDrop(*drop);
            return true;
        };
    }
    up_ = true;
    const auto showing = ++shown_;
    [](QPointer<DropCatcher> self, Clock& clock, std::uint64_t showing) -> QCoro::Task<> {
        for (;;) {
            co_await clock.sleep(kWatch);
            if (!self || self->shown_ != showing || !self->panelVisible()) co_return;
            const bool highlighted = self->panel_->highlighted();
            const bool pressed = self->drags_ && self->drags_->leftButtonDown();
            if (!pressed && !highlighted) {
                self->hide();
                co_return;
            }
        }
    }(this, clock_, showing);
}

bool DropCatcher::highlighted() const { return panel_ && panel_->highlighted(); }

void DropCatcher::hide() {
    ++shown_;
    up_ = false;
    if (panel_) panel_->setHighlighted(false);
}

bool DropCatcher::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_) return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        // Up, the target takes every drag over the window; down, one allowed brings it up.
        if (!up_) {
            if (!allowed()) return false;
            show();
        }
        if (event->type() == QEvent::DragEnter)
            panel_->dragEnter(*static_cast<QDragEnterEvent*>(event));
        else
            panel_->dragMove(*static_cast<QDragMoveEvent*>(event));
        return true;
    }
    case QEvent::DragLeave:
        if (!panel_ || !panel_->highlighted()) return false;
        panel_->dragLeave();
        return true;
    case QEvent::Drop:
        if (!up_) return false;
        panel_->drop(*static_cast<QDropEvent*>(event));
        return true;
    case QEvent::Resize:
        if (panel_) panel_->relayout();
        return false;
    default:
        return false;
    }
}

std::optional<DropCatcher::Drop> DropCatcher::sort(const QMimeData& data) {
    Drop drop;
    const auto urls = data.urls();
    for (const auto& url : urls)
        if (url.isLocalFile()) drop.files.push_back(url.toLocalFile().toStdString());
    if (!drop.files.empty()) {
        drop.kind = Drop::Kind::files;
        return drop;
    }
    const auto isWeb = [](const QUrl& url) {
        const auto scheme = url.scheme().toLower();
        return scheme == "http" || scheme == "https";
    };
    for (const auto& url : urls) {
        if (isWeb(url) || url.scheme().toLower() == "mailto") {
            drop.kind = Drop::Kind::link;
            drop.link = url;
            return drop;
        }
    }
    const QString text = data.hasText() ? data.text() : QString();
    if (text.isEmpty()) return std::nullopt;
    const QUrl asLink(text.trimmed(), QUrl::StrictMode);
    if (asLink.isValid() && isWeb(asLink) && !asLink.host().isEmpty()) {
        drop.kind = Drop::Kind::link;
        drop.link = asLink;
        return drop;
    }
    drop.kind = Drop::Kind::text;
    drop.text = text.toStdString();
    return drop;
}

} // namespace corvane
