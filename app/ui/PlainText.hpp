#pragma once

#include "app/services/ShownText.hpp"

#include <QString>

#include <string>
#include <string_view>

class QLabel;
class QWidget;

namespace corvane {

// Text that may come from the box, a feed or a file: shown as plain text, cut to a sane length, and with
// "&" doubled where Qt reads mnemonics (menus, buttons, tabs).
namespace PlainText {

using ShownText::kMaxChars;
using ShownText::cut;
// For menu items, buttons and tabs.
QString mnemonicSafe(std::string_view text);
// A tool tip showing `text` as it is: Qt guesses rich text in tool tips, so it goes as escaped markup.
QString toolTip(const QString& text);
// A label that never reads its text as markup.
QLabel* label(QWidget* parent, const QString& text = {});

} // namespace PlainText

} // namespace corvane
