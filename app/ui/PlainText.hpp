#pragma once

#include "app/services/ShownText.hpp"

#include <QString>

#include <string>
#include <string_view>

class QFontMetrics;
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
// `text` with each word wider than `width` by `metrics` cut to that width with an ellipsis: box text of any
// kind then wraps within a label of that width.
QString shortWords(const QString& text, const QFontMetrics& metrics, int width);
// Sets a widget's tool tip to `whole` where it shows less than that or `whole` was itself cut to its length;
// clears it otherwise.
void offerWhole(QWidget* widget, const QString& shown, const QString& whole);

} // namespace PlainText

} // namespace corvane
