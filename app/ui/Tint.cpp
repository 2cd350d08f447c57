#include "app/ui/Tint.hpp"

#include <QApplication>
#include <QPalette>

namespace corvane {

QColor tintColor(Tint tint) {
    switch (tint) {
    case Tint::accent: return QApplication::palette().color(QPalette::Highlight);
    case Tint::orange: return QColor(0xff, 0x95, 0x00);
    case Tint::red: return QColor(0xff, 0x3b, 0x30);
    case Tint::green: return QColor(0x34, 0xc7, 0x59);
    case Tint::secondary: return QApplication::palette().color(QPalette::PlaceholderText);
    }
    return {};
}

} // namespace corvane
