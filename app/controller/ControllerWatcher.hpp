#pragma once

#include "platform/gamepad/GamepadManager.hpp"

#include <QObject>

#include <string>
#include <vector>

namespace corvane {

// The names of the game controllers attached now, for the Controllers tab and the diagnostics report.
// It only watches: the controllers come from the app's one GamepadManager (a second SDL pump would steal
// its device events), which reports arrivals and removals here. Main thread only.
class ControllerWatcher final : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    const std::vector<std::string>& names() const { return names_; }

    // A controller arrived or left; the list is rebuilt whole, in arrival order.
    void added(const platform::GamepadManager::Info& info);
    void removed(platform::GamepadManager::Id id);

    // Its SDL name, else its kind, else "Game controller".
    static std::string displayName(const platform::GamepadManager::Info& info);

Q_SIGNALS:
    void changed();

private:
    void refresh();

    std::vector<platform::GamepadManager::Info> attached_;
    std::vector<std::string> names_;
};

} // namespace corvane
