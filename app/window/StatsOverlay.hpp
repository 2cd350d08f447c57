#pragma once
// The overlay's interface as the box controller drives it; its panel comes with the stream window.
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StatsOverlayTypes.hpp"
#include "app/services/agent/AgentClient.hpp"
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
namespace corvane {
class StatsOverlay final : public QObject {
public:
    StatsOverlay(Clock&, AppPool&) {}
    void start(int, StatsOverlayPosition, bool, StatsOverlayStreamInfo) { running_ = true; }
    void update(StatsOverlayPosition, bool, StatsOverlayStreamInfo) {}
    void stop() { running_ = false; }
    bool running() const { return running_; }
    void setBoxStatus(std::optional<AgentClient::BoxStatus>) {}
    bool needsScreenPermission = false;
    QPointer<QWidget> engineWindow;
    std::function<std::optional<int>()> engineFPS;
    std::function<std::optional<double>()> engineLatency;
private:
    bool running_ = false;
};
}
