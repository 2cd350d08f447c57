#pragma once

#include "app/services/KeyShortcut.hpp"
#include "app/services/ShortcutAction.hpp"

#include <functional>
#include <utility>
#include <vector>

namespace corvane {

// A holder for a system-wide shortcut hook. Nothing installs one today: the stream shortcuts work through
// the stream window's own key handling and its keyboard grab. The box controller still stops it after every
// settings change and at quit, which then finds nothing to remove. Main thread only.
class ShortcutMonitor final {
public:
    ShortcutMonitor() = default;
    ~ShortcutMonitor() { stop(); }
    ShortcutMonitor(const ShortcutMonitor&) = delete;
    ShortcutMonitor& operator=(const ShortcutMonitor&) = delete;

    // Switches the hook off and forgets it.
    void stop() {
        if (auto release = std::exchange(tap, nullptr)) release();
    }

    std::function<void()> tap;  // switches the installed hook off; empty when none is installed
    std::vector<std::pair<KeyShortcut, ShortcutAction>> custom;
    std::function<void(ShortcutAction)> onAction;
};

} // namespace corvane
