#pragma once

class QWidget;

namespace corvane {

// Asks the window manager to keep a window's content at one aspect ratio (PAspect in WM_NORMAL_HINTS), set
// after Qt has written its own hints. Does nothing off X11.
void fixAspectRatio(QWidget& window, int width, int height);

}  // namespace corvane
