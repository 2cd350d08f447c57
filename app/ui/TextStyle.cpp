#include "app/ui/TextStyle.hpp"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QWidget>

#include <algorithm>

namespace corvane {
namespace {

struct Style {
    TextStyle style;
    double scale;  // of the desktop font's size
    QFont::Weight weight;
};

// Relative to a 13 pt body: title 2 is 17, title 3 is 15, headline 13 bold, callout 12, caption 10.
constexpr Style kStyles[] = {
    {TextStyle::body, 1.0, QFont::Normal},       {TextStyle::title2, 17.0 / 13, QFont::Normal},
    {TextStyle::title3, 15.0 / 13, QFont::Normal}, {TextStyle::headline, 1.0, QFont::Bold},
    {TextStyle::callout, 12.0 / 13, QFont::Normal}, {TextStyle::caption, 10.0 / 13, QFont::Normal},
    {TextStyle::licence, 11.0 / 13, QFont::Normal},
};

} // namespace

QFont textFont(TextStyle style, QFont::Weight weight) {
    QFont font = style == TextStyle::licence ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                                             : QApplication::font();
    const double base = QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10;
    // Small text never under the desktop's smallest readable size, nor under 9 pt.
    const double smallest = std::max(9.0, QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont).pointSizeF());
    for (const Style& entry : kStyles) {
        if (entry.style != style) continue;
        font.setPointSizeF(std::max(base * entry.scale, smallest));
        font.setWeight(weight != QFont::Normal ? weight : entry.weight);
    }
    return font;
}

void setTextStyle(QWidget* widget, TextStyle style, QFont::Weight weight) { widget->setFont(textFont(style, weight)); }

void setSecondary(QWidget* widget, bool secondary) {
    // A role rather than a colour, so the text follows a later change of the app's look; the role itself is
    // kept readable (Look::keepReadable).
    const auto role = secondary ? QPalette::PlaceholderText : QPalette::WindowText;
    if (widget->foregroundRole() != role) widget->setForegroundRole(role);
}

} // namespace corvane
