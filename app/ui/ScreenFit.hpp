#pragma once

class QScrollArea;
class QWidget;

namespace corvane {

// Keeps a window inside the free area of the screen it is on: as tall as its content up to that area,
// past which the content scrolls, and moved back inside should its frame reach past it.
namespace ScreenFit {

// A scroll area that only ever scrolls up and down, for a window's content.
QScrollArea* scrollArea(QWidget* content);
// Sizes `window` (fixed) to `width` and `wanted` plus `chrome`, the height beyond the scrolled content,
// no taller than the screen's free area allows: past that `scroll` shows its bar and the width makes room
// for it. Then brings a shown window's frame back inside the area.
void fit(QWidget& window, QScrollArea& scroll, int width, int wanted, int chrome = 0);

} // namespace ScreenFit

} // namespace corvane
