#pragma once

#include <cstdint>
#include <optional>

class QWidget;

namespace corvane {

// Virtual desktops as an EWMH window manager keeps them on the root window. Without such a window
// manager (or off X11) there is one desktop and every window is on it. Main thread only.
namespace Desktops {

// _NET_CURRENT_DESKTOP, or none.
std::optional<std::int64_t> current();
// Whether the window is on the current desktop (sticky windows are on all of them).
bool isOnCurrent(const QWidget& window);

}  // namespace Desktops

}  // namespace corvane
