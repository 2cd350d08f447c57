#include "app/ui/Tint.hpp"

#include "app/ui/Contrast.hpp"
#include "app/ui/Look.hpp"

#include <QApplication>
#include <QPalette>

namespace corvane {

QColor tintColor(Tint tint) {
    const QPalette palette = QApplication::palette();
    QColor base;
    switch (tint) {
    case Tint::accent: base = palette.color(QPalette::Highlight); break;
    case Tint::orange: base = QColor(0xff, 0x95, 0x00); break;
    case Tint::red: base = QColor(0xff, 0x3b, 0x30); break;
    case Tint::green: base = QColor(0x34, 0xc7, 0x59); break;
    case Tint::secondary: return palette.color(QPalette::PlaceholderText);
    case Tint::text: return palette.color(QPalette::WindowText);
    }
    // The named colours are made for dark backdrops; on a light one they are darkened until a symbol in
    // them stands out from the window and the cards on it.
    return Contrast::atLeast(base, {palette.color(QPalette::Window), Look::fill(palette, Look::Fill::card)}, 3.2);
}

} // namespace corvane
