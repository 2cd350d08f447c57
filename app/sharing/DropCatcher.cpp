#include "app/sharing/DropCatcher.hpp"

#include "app/sharing/DropTargetView.hpp"

#include <QEvent>
#include <QMimeData>

#include <algorithm>

namespace corvane {

DropCatcher::DropCatcher(QObject* parent) : QObject(parent) {}

DropCatcher::~DropCatcher() {
    if (window_) window_->removeEventFilter(this);
    delete panel_.data();
}

void DropCatcher::setStreamWindow(QWidget* streamWindow) {
    if (window_ == streamWindow) return;
    if (window_) window_->removeEventFilter(this);
    delete panel_.data();
    window_ = streamWindow;
    if (!window_) return;
    // Drags over the stream view travel up to the first widget that takes drops: the window.
    window_->setAcceptDrops(true);
    window_->installEventFilter(this);
}

void DropCatcher::start() { watching_ = true; }

void DropCatcher::stop() {
    watching_ = false;
    hide();
}

bool DropCatcher::panelVisible() const { return panel_ && panel_->isVisible(); }

void DropCatcher::hide() {
    if (!panel_) return;
    panel_->setHighlighted(false);
    panel_->hide();
}

bool DropCatcher::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && event->type() == QEvent::DragEnter) {
        if (!watching_ || !enabled || !streamPID) return false;
        if (!panel_) {
            panel_ = new DropTargetView(window_);
            QPointer<DropCatcher> self(this);
            panel_->onLeave = [self] {
                if (self) self->hide();
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
        panel_->setGeometry(window_->rect());
        panel_->raise();
        panel_->show();
        event->accept();
        return true;
    }
    if (watched == window_ && event->type() == QEvent::Resize && panel_) panel_->setGeometry(window_->rect());
    return false;
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
