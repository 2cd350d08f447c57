#include "app/window/StatsOverlay.hpp"

#include <cmath>

#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include "app/services/BoxEndpoint.hpp"
#include "app/window/Desktops.hpp"
#include "app/window/OverlayPanel.hpp"
#include "app/window/StatsPill.hpp"
#include "engine/view/StreamView.hpp"

namespace corvane {

namespace {

std::vector<QRectF> screenFrames() {
    std::vector<QRectF> frames;
    for (const QScreen* screen : QGuiApplication::screens()) frames.emplace_back(screen->geometry());
    return frames;
}

}  // namespace

StatsOverlay::StatsOverlay(Clock& clock, AppPool& pool) : clock_(clock), counter_(clock.uptime()) {
    latencyProbe = [&pool] { return LatencyProbe::roundTrip(pool, BoxEndpoint::address(), BoxEndpoint::agentPort, 1.0); };
}

StatsOverlay::~StatsOverlay() {
    stop();
    life_.reset();
}

QWidget* StatsOverlay::panel() const { return panel_.data(); }

void StatsOverlay::start(std::int32_t pid, Position position, bool detailed, StreamInfo info) {
    stop();
    pid_ = pid;
    position_ = position;
    detailed_ = detailed;
    info_ = std::move(info);
    fps_.reset();
    samples_ = LatencySamples{};
    fpsHistory_.clear();
    // Window capture needs no permission here, so needsScreenPermission is never raised.
    panel_ = new StatsPill(*this);
    timer_ = ++runs_;
    timerLoop(timer_);
    Q_EMIT changed();
}

void StatsOverlay::update(Position position, bool detailed, StreamInfo info) {
    position_ = position;
    bool published = false;
    if (detailed != detailed_) detailed_ = detailed, published = true;
    if (info_ != info) info_ = std::move(info), published = true;
    if (published) Q_EMIT changed();
    tick();
}

void StatsOverlay::stop() {
    engineWindow.clear();
    engineFPS = nullptr;
    engineLatency = nullptr;
    timer_ = 0;
    ++runs_;
    if (QPointer<StatsPill> panel = std::exchange(panel_, nullptr)) {
        panel->hide();
        panel->setParent(nullptr);  // out of the window it followed, which may go first
        panel->deleteLater();
    }
    stopCapture();
}

void StatsOverlay::setBoxStatus(std::optional<AgentClient::BoxStatus> status) {
    if (status == boxStatus_) return;
    boxStatus_ = std::move(status);
    Q_EMIT changed();
}

QCoro::Task<> StatsOverlay::timerLoop(std::uint64_t timer) {
    const std::weak_ptr<int> life = life_;
    for (;;) {
        co_await clock_.sleep(0.25);
        if (life.expired() || timer_ != timer) co_return;
        tick();
    }
}

void StatsOverlay::tick() {
    if (!timer_) return;
    // A panel goes with the window it was put in; the run goes on with a new one.
    if (!panel_) panel_ = new StatsPill(*this);
    ++ticks_;

    const auto followed = followedWindow();
    QWidget* over = followed ? followedWidget(*followed) : nullptr;
    if (!over) {
        panel_->hide();
        // Ordered out: nothing followed at all, not even a hidden engine window.
        if (!engineWindow && panel_->parentWidget()) panel_->setParent(nullptr);
        return;
    }
    place(*over, *followed);

    if (ticks_ % 4 == 0) {
        if (engineFPS)
            fps_ = engineFPS();
        else if (capture_)
            fps_ = counter_.take(clock_.uptime());
        else
            fps_.reset();
        if (fps_) {
            fpsHistory_.push_back(*fps_);
            if (fpsHistory_.size() > 30) fpsHistory_.erase(fpsHistory_.begin());
        }
        if (engineLatency) {
            if (auto ms = engineLatency()) samples_.addEngine(*ms);
        } else {
            sampleLatency(runs_);
        }
        Q_EMIT changed();
    }

    if (!engineFPS && captureWindowID_ != followed->id) startCapture(followed->id);
}

std::optional<StreamWindow::Info> StatsOverlay::followedWindow() const {
    if (QWidget* window = engineWindow.data()) {
        const QWindow* handle = window->windowHandle();
        if (!window->isVisible() || window->isMinimized() || !handle || !handle->isExposed() ||
            !Desktops::isOnCurrent(*window))
            return std::nullopt;
        return StreamWindow::Info{static_cast<std::uint32_t>(window->winId()), QRectF(window->frameGeometry())};
    }
    if (engineFPS) return std::nullopt;  // the engine's window is gone
    return StreamWindow::find(pid_);
}

QWidget* StatsOverlay::followedWidget(const StreamWindow::Info& info) const {
    if (engineWindow) return engineWindow.data();
    // Only this process's own windows can hold the panel.
    QWidget* widget = QWidget::find(static_cast<WId>(info.id));
    return widget ? widget->window() : nullptr;
}

void StatsOverlay::place(QWidget& over, const StreamWindow::Info& info) {
    if (panel_->parentWidget() != &over) panel_->setParent(&over);
    const QSize size = panel_->fittingSize();
    const QRectF frame = StreamWindow::screenRect(placement(QSizeF(size), info.bounds, position_, screenFrames()));
    // `over` is a top-level window: its geometry is its content in screen coordinates (mapFromGlobal would
    // ask the X server every tick).
    const QPoint local = QPoint(static_cast<int>(frame.x()), static_cast<int>(frame.y())) - over.geometry().topLeft();
    panel_->setGeometry(QRect(local, size));
    OverlayPanel::raise(*panel_);
    panel_->show();
    panel_->update();
}

QRectF StatsOverlay::placement(QSizeF size, const QRectF& bounds, Position position, const std::vector<QRectF>& screens) {
    const double screenHeight = screens.empty() ? bounds.bottom() : screens.front().height();
    double inset = 40;
    for (const QRectF& screen : screens)
        if (std::abs(screen.width() - bounds.width()) < 2 && std::abs(screen.height() - bounds.height()) < 2) inset = 12;
    double x = bounds.right() - size.width() - 12;
    if (position == Position::topLeft) x = bounds.left() + 12;
    if (position == Position::topCenter) x = bounds.center().x() - size.width() / 2;
    const double y = screenHeight - (inset + bounds.top()) - size.height();
    return QRectF(std::round(x), std::round(y), size.width(), size.height());
}

void StatsOverlay::startCapture(std::uint32_t windowID) {
    stopCapture();
    QWidget* window = QWidget::find(static_cast<WId>(windowID));
    auto* view = window ? window->findChild<stream::StreamView*>() : nullptr;
    if (!view) return;
    view->onPresented = [counter = &counter_](const stream::DecodedFrame& frame) { counter->present(frame.image); };
    counter_.take(clock_.uptime());  // the count starts now
    capture_ = view;
    captureWindowID_ = windowID;
    needsScreenPermission = false;
}

void StatsOverlay::stopCapture() {
    if (capture_) capture_->onPresented = nullptr;
    capture_.clear();
    captureWindowID_.reset();
}

QCoro::Task<> StatsOverlay::sampleLatency(std::uint64_t run) {
    const std::weak_ptr<int> life = life_;
    const std::optional<double> ms = co_await latencyProbe();
    // A probe that ends after its run was stopped (or a new one started) is dropped.
    if (life.expired() || run != runs_ || !ms) co_return;
    samples_.addProbe(*ms);
    Q_EMIT changed();
}

}  // namespace corvane
