#pragma once

#include <QColor>
#include <QIcon>

#include <string_view>

namespace corvane {

// The symbols the views name, as freedesktop icon names of the desktop's theme; a symbol the theme lacks
// falls back to the icons shipped in share/corvane/icons, else to a plain dot.
namespace Symbols {

QIcon icon(std::string_view symbol);
// The symbol in `tint`: a one-colour symbol's ink takes the tint (white inside it stays white); a symbol
// with colours of its own keeps them.
QIcon icon(std::string_view symbol, const QColor& tint);
// The app's own icon (the desktop's theme, else the installed or shipped file).
QIcon appIcon();
// A tray symbol that shows on light and dark panels alike.
QIcon trayIcon(std::string_view symbol);
// The freedesktop name standing for a symbol; empty when the table has none.
const char* themeName(std::string_view symbol);

} // namespace Symbols

} // namespace corvane
