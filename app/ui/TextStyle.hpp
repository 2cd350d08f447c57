#pragma once

#include <QFont>

class QWidget;

namespace corvane {

// The text styles the views name, as sizes relative to the desktop's own font so that a larger desktop
// font scales every window alike; none smaller than the desktop's smallest readable size or 9 pt.
enum class TextStyle { body, title2, title3, headline, callout, caption, licence };

QFont textFont(TextStyle style, QFont::Weight weight = QFont::Normal);
void setTextStyle(QWidget* widget, TextStyle style, QFont::Weight weight = QFont::Normal);
// Dims a label's text to the palette's secondary colour.
void setSecondary(QWidget* widget, bool secondary = true);

} // namespace corvane
