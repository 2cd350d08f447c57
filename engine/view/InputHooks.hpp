#pragma once

#include <functional>

#include "platform/core/Bytes.hpp"
#include "platform/keys/KeyEvents.hpp"

namespace corvane::stream {

// How the pointer goes to the box: its place in the picture, or movement while captured (games).
enum class MouseMode : int { absolute = 0, relative = 1 };

// What the stream's owner hands the view for input. A plain value: the view reads it at every event, so
// changing a field takes effect at the next one. Callbacks run on the main thread, inside the event handler.
struct InputHooks {
    struct Size {
        double width = 0;
        double height = 0;
    };

    // Every input packet; without it nothing is sent but the bookkeeping still runs.
    std::function<void(Bytes packet)> send;
    // Offered every key-down first; true means the owner consumed it.
    std::function<bool(const platform::KeyEvents::Event& event)> shortcut;
    std::function<void(bool captured)> onCaptureChanged;
    MouseMode mouseMode = MouseMode::absolute;
    bool commandAsControl = false;
    // The stream's picture size in pixels: the picture's aspect and the range of absolute positions.
    Size streamSize;
};

}  // namespace corvane::stream
