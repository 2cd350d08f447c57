#pragma once

#include <QIcon>

#include <string_view>

namespace corvane {

// The symbols the views name, as freedesktop icon names of the desktop's theme.
namespace Symbols {

QIcon icon(std::string_view symbol);

} // namespace Symbols

} // namespace corvane
