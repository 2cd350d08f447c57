#pragma once

class QWidget;

namespace corvane {

// Ctrl+W closes `window`, as it closes a window of every desktop app. Only while `window` is active: keys
// typed into the stream window stay the box's.
void closeOnCtrlW(QWidget& window);

} // namespace corvane
