#pragma once

#include <QColor>
#include <QIcon>

#include <string_view>

namespace corvane {

// The symbols the views name, as freedesktop icon names of the desktop's theme; a symbol the theme lacks
// falls back to the icons shipped in share/corvane/icons, else to a plain dot.
namespace Symbols {

QIcon icon(std::string_view symbol);
// The symbol drawn in one colour.
QIcon icon(std::string_view symbol, const QColor& tint);
// The freedesktop name standing for a symbol; empty when the table has none.
const char* themeName(std::string_view symbol);

} // namespace Symbols

} // namespace corvane
