#pragma once

#include "platform/gamepad/GamepadManager.hpp"

#include <QObject>

#include <memory>
#include <string>
#include <vector>

namespace corvane {

// The names of the game controllers attached now, for the Controllers tab and the diagnostics report.
// It only watches. It runs the app's one GamepadManager (SDL has one event queue, so a second manager
// would steal this one's device events): the stream listens to the same manager through gamepads().
// Main thread only; arrivals and removals hop over from the manager's thread.
class ControllerWatcher final : public QObject {
    Q_OBJECT
public:
    // Runs a manager of its own on the manager's thread; a machine where SDL cannot start lists none.
    explicit ControllerWatcher(QObject* parent = nullptr);
    // Watches `manager`, which its owner runs and which outlives the watcher.
    explicit ControllerWatcher(platform::GamepadManager& manager, QObject* parent = nullptr);
    ~ControllerWatcher() override;

    const std::vector<std::string>& names() const { return names_; }
    platform::GamepadManager& gamepads() { return manager_; }

    // Its SDL name, else its kind, else "Game controller".
    static std::string displayName(const platform::GamepadManager::Info& info);

Q_SIGNALS:
    void changed();

private:
    void listen();
    void added(const platform::GamepadManager::Info& info);
    void removed(platform::GamepadManager::Id id);
    void refresh();

    std::unique_ptr<platform::GamepadManager> own_;
    platform::GamepadManager& manager_;
    platform::GamepadManager::Listening listening_;
    std::vector<platform::GamepadManager::Info> attached_;  // in order of arrival
    std::vector<std::string> names_;
};

} // namespace corvane
