#include "app/ui/Style.hpp"

#include "app/ui/Contrast.hpp"
#include "app/ui/Look.hpp"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QStyleOption>
#include <QTabBar>

namespace corvane {
namespace {

constexpr const char* kStatusLine = "corvaneStatusLine";

// Strokes the edge of `rect` over what the desktop's style drew there: in the readable outline, or in the
// accent while the keyboard has focus there, so focus still shows.
void strokeEdge(QPainter* painter, const QStyleOption& option, QRect rect, qreal radius, bool round) {
    const bool focused = (option.state & QStyle::State_HasFocus) && (option.state & QStyle::State_KeyboardFocusChange);
    const QColor edge = Look::outline(option.palette, focused ? QPalette::Highlight : QPalette::Window);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, round || radius > 0);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(edge, 1));
    // A one pixel line on the pixels along the inside of `rect`.
    const QRectF line = QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5);
    if (round) painter->drawEllipse(line);
    else if (radius > 0) painter->drawRoundedRect(line, radius, radius);
    else painter->drawRect(line);
    painter->restore();
}

bool keyboardFocus(const QStyleOption& option) {
    return (option.state & QStyle::State_HasFocus) && (option.state & QStyle::State_KeyboardFocusChange);
}

} // namespace

Style::Style(QStyle* desktop) : QProxyStyle(desktop) {}

void Style::setStatusLine(QAction* action) { action->setProperty(kStatusLine, true); }

void Style::drawFocusRing(QPainter* painter, const QStyleOption& option, QRect rect, const QColor& below) {
    const QPalette& palette = option.palette;
    QColor tinted = palette.color(QPalette::Highlight);
    tinted.setAlphaF(0.4f);
    // The accent, moved to 4.5 against the flat colours under it: that leaves 3 against the shading styles
    // put on faces.
    const QColor ring = below.isValid()
        ? Contrast::atLeast(palette.color(QPalette::Highlight), {below}, 4.5)
        : Contrast::atLeast(palette.color(QPalette::Highlight),
                            {palette.color(QPalette::Window), palette.color(QPalette::Button),
                             Contrast::over(tinted, palette.color(QPalette::Button)), palette.color(QPalette::Base),
                             Look::fill(palette, Look::Fill::card), Look::fill(palette, Look::Fill::accent)},
                            4.5);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(ring, 2));
    painter->drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), 3, 3);
    painter->restore();
}

void Style::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const {
    if (element == PE_FrameFocusRect) {
        // Shown for the keyboard only, as styles do; buttons and tabs get theirs along their shapes.
        const bool shaped = qobject_cast<const QPushButton*>(widget) || qobject_cast<const QTabBar*>(widget);
        if ((option->state & State_KeyboardFocusChange) && !shaped) drawFocusRing(painter, *option, option->rect);
        return;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    const bool box = element == PE_IndicatorCheckBox, round = element == PE_IndicatorRadioButton;
    if ((box || round) && (option->state & State_Enabled)) strokeEdge(painter, *option, option->rect, 0, round);
}

void Style::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter, const QWidget* widget) const {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    const auto* menu = qobject_cast<const QMenu*>(widget);
    if (element == CE_MenuItem && item && menu) {
        const QAction* action = menu->actionAt(item->rect.center());
        if (action && action->property(kStatusLine).toBool()) {
            // Drawn as an item that can be used (in the menu's text colour), though it is not one.
            QStyleOptionMenuItem text = *item;
            text.state |= State_Enabled;
            text.state &= ~(State_Selected | State_Sunken);
            text.palette.setCurrentColorGroup((text.state & State_Active) ? QPalette::Active : QPalette::Inactive);
            return QProxyStyle::drawControl(element, &text, painter, widget);
        }
    }
    QProxyStyle::drawControl(element, option, painter, widget);
    if (!keyboardFocus(*option)) return;
    if (element == CE_PushButtonBevel) drawFocusRing(painter, *option, option->rect.adjusted(1, 1, -1, -1));
    if (element == CE_TabBarTabShape) drawFocusRing(painter, *option, option->rect.adjusted(2, 2, -2, -2));
}

void Style::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                               const QWidget* widget) const {
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    const auto* picker = qstyleoption_cast<const QStyleOptionComboBox*>(option);
    if (control == CC_ComboBox && picker && !picker->editable && picker->frame && (option->state & State_Enabled)) {
        strokeEdge(painter, *option, option->rect, 2, false);
        if (keyboardFocus(*option)) drawFocusRing(painter, *option, option->rect.adjusted(1, 1, -1, -1));
    }
}

} // namespace corvane
