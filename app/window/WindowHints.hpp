#pragma once

#include <QSize>

class QWidget;

namespace corvane {

// Asks the window manager to keep a window's content at one aspect ratio (PAspect in WM_NORMAL_HINTS), set
// after Qt has written its own hints. Does nothing off X11. The window manager holds a program's own sizes to
// the ratio too, so the range also takes in `content`, the size the window was given (its sides rounded to
// whole pixels, off the ratio by less than one).
void fixAspectRatio(QWidget& window, int width, int height, QSize content = {});

}  // namespace corvane
