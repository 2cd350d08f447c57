#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <QRectF>

namespace corvane {

// Finding the on-screen window that shows a stream. The application's own stream window answers through
// the `ownWindow` hook (installed by the box controller when the stream opens); other processes' windows
// are not looked up on this desktop. Main thread only.
namespace StreamWindow {

struct Info {
    std::uint32_t id = 0;  // the X window id
    QRectF bounds;         // frame in screen coordinates, origin top left of the primary screen
    bool operator==(const Info&) const = default;
};

// Set by the box controller while the stream window is open.
inline std::function<std::optional<Info>()> ownWindow;

std::optional<Info> find(std::int64_t pid);

// Flips a rectangle between top-left-origin and bottom-left-origin screen coordinates (the same formula
// both ways): y = the primary screen's height (0 without one) - max y.
QRectF screenRect(const QRectF& rect);

// "{{x, y}, {width, height}}", as rectangles are written in the log.
std::string describe(const QRectF& rect);

}  // namespace StreamWindow

}  // namespace corvane
