#pragma once

#include <QString>

#include <string>
#include <string_view>

class QLabel;
class QWidget;

namespace corvane {

// Text that may come from the box, a feed or a file: shown as plain text, cut to a sane length, and with
// "&" doubled where Qt reads mnemonics (menus, buttons, tabs).
namespace PlainText {

// Longer box texts are cut here, so that no window grows past the screen.
inline constexpr int kMaxChars = 600;

QString cut(std::string_view text, int maxChars = kMaxChars);
// For menu items, buttons and tabs.
QString mnemonicSafe(std::string_view text);
// A label that never reads its text as markup.
QLabel* label(QWidget* parent, const QString& text = {});

} // namespace PlainText

} // namespace corvane
