#pragma once

#include <QColor>
#include <QPalette>

#include <functional>

class QWidget;

namespace corvane {

// What every view draws with, taken from the palette in force when it draws: the backdrops of cards and
// banner rows, the secondary text colour, and a hook that re-runs a view's drawing set-up whenever the
// palette or style changes (light, dark, switched live).
namespace Look {

enum class Fill { card, accent };

// A card's or banner row's backdrop over the window colour.
QColor fill(const QPalette& palette, Fill fill);
// The edge of a check box, round button or picker: the colour of `from` (the window's: a grey) moved to
// 3:1 against the window, the cards and the text fields.
QColor outline(const QPalette& palette, QPalette::ColorRole from = QPalette::Window);
// Keeps the app palette's secondary text (its placeholder role) at 4.5:1 on the window, the text fields
// and every card backdrop, now and after each later change of the app palette, and puts the app's Style
// over the desktop's. Idempotent.
void keepReadable();
// Calls `redo` on `widget`'s palette, application palette and style changes.
void onChange(QWidget* widget, std::function<void()> redo);

} // namespace Look

} // namespace corvane
