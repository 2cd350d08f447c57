#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>
#include <qcoro/qcorotask.h>

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StatsOverlayTypes.hpp"
#include "app/services/agent/AgentClient.hpp"
#include "app/services/agent/AgentReplies.hpp"
#include "app/window/FrameCounter.hpp"
#include "app/window/LatencyProbe.hpp"
#include "app/window/StreamWindow.hpp"

namespace corvane {

namespace stream {
class StreamView;
}

class StatsPill;

// The performance overlay: the model behind the small pill (or, detailed, the card) at the top edge of the
// stream window with frames per second, latency, jitter, a 30-second frame-rate graph, the stream's facts
// and the box's load, and the panel that shows it. The panel is a child of the followed window laid over
// the picture as a native panel of its own (OverlayPanel), so it follows moves and full screen.
//
// One instance lives for the app's run; the box controller drives it. With the engine hooks set the figures
// come from the stream view and the session; without them the overlay follows a window by process id,
// counts the pictures its stream view presents (the frame counter) and probes the box agent for latency.
// Main thread only; `changed` is emitted whenever a published field changes.
class StatsOverlay final : public QObject {
    Q_OBJECT

public:
    using Position = StatsOverlayPosition;
    using StreamInfo = StatsOverlayStreamInfo;

    StatsOverlay(Clock& clock, AppPool& pool);
    ~StatsOverlay() override;

    void start(std::int32_t pid, Position position, bool detailed, StreamInfo info);
    void update(Position position, bool detailed, StreamInfo info);
    void stop();
    // The timer runs.
    bool running() const { return timer_ != 0; }
    void setBoxStatus(std::optional<AgentClient::BoxStatus> status);

    // Published fields.
    std::optional<int> fps() const { return fps_; }
    std::optional<double> latencyMs() const { return samples_.latencyMs; }
    std::optional<double> jitterMs() const { return samples_.jitterMs; }
    const std::vector<int>& fpsHistory() const { return fpsHistory_; }
    bool detailed() const { return detailed_; }
    const std::optional<StreamInfo>& info() const { return info_; }
    const std::optional<AgentClient::BoxStatus>& boxStatus() const { return boxStatus_; }
    // The frame rate every view measures against: the stream's, or 60 without stream facts.
    int targetFPS() const { return info_ ? info_->targetFPS : 60; }
    // Always false where window capture needs no permission; kept for the views' sake.
    bool needsScreenPermission = false;

    // How latency is measured without the engine hooks: the time to connect to the box agent.
    std::function<QCoro::Task<std::optional<double>>()> latencyProbe;

    // Engine hooks, written by the caller after start().
    QPointer<QWidget> engineWindow;
    std::function<std::optional<int>()> engineFPS;
    std::function<std::optional<double>()> engineLatency;

    // The panel on screen, if any.
    QWidget* panel() const;
    const FrameCounter& counter() const { return counter_; }

    // The panel's frame (bottom-left-origin screen coordinates) for a content size over a window whose
    // bounds are in top-left-origin screen coordinates. `screens` are the screens' frames.
    static QRectF placement(QSizeF size, const QRectF& bounds, Position position, const std::vector<QRectF>& screens);

    // One step of the timer (also run by update()).
    void tick();

Q_SIGNALS:
    void changed();

private:
    std::optional<StreamWindow::Info> followedWindow() const;
    QWidget* followedWidget(const StreamWindow::Info& info) const;
    void place(QWidget& over, const StreamWindow::Info& info);
    void startCapture(std::uint32_t windowID);
    void stopCapture();
    QCoro::Task<> timerLoop(std::uint64_t timer);
    QCoro::Task<> sampleLatency(std::uint64_t run);

    Clock& clock_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);

    std::optional<int> fps_;
    LatencySamples samples_;
    std::vector<int> fpsHistory_;
    bool detailed_ = false;
    std::optional<StreamInfo> info_;
    std::optional<AgentClient::BoxStatus> boxStatus_;

    QPointer<StatsPill> panel_;
    std::uint64_t timer_ = 0;  // non-zero while the timer runs
    std::uint64_t runs_ = 0;   // bumped by every start and stop: late probe results of an old run are dropped
    Position position_ = Position::topRight;
    std::int32_t pid_ = 0;
    std::uint64_t ticks_ = 0;
    FrameCounter counter_;
    QPointer<stream::StreamView> capture_;  // the followed view whose presented pictures are counted
    std::optional<std::uint32_t> captureWindowID_;
};

}  // namespace corvane
