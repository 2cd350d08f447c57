#pragma once

#include <QSize>

class QScrollArea;
class QWidget;

namespace corvane {

// Keeps a window inside the free area of the screen it is on: as tall as its content up to that area,
// past which the content scrolls, and moved back inside should its frame reach past it.
namespace ScreenFit {

// A scroll area that only ever scrolls up and down, for a window's content.
QScrollArea* scrollArea(QWidget* content);
// Sizes `window` (fixed) to what the content of `scroll` wants at `width` plus `chrome`, the window's size
// beyond the scrolled content, no taller than the screen's free area allows: past that `scroll` shows its
// bar and the width makes room for it. Then brings a shown window's frame back inside the area, and does so
// again once the window manager has framed the window and after each change of its size that the window
// manager applies. The content's layout is brought up to date first, so a text changed just before counts.
void fit(QWidget& window, QScrollArea& scroll, int width, QSize chrome = QSize(0, 0));

} // namespace ScreenFit

} // namespace corvane
