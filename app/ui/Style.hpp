#pragma once

#include <QProxyStyle>

class QAction;

namespace corvane {

// The app's style: the desktop's own, with three rules of its own for every window and menu. The edges of
// check boxes, round buttons and pop-up pickers that can be used stand 3:1 against what is around them in
// every look (Look::outline), where styles draw them faintly. A menu's status line, which nobody can
// click, is drawn as text rather than as an item that cannot be used. Installed by Look::keepReadable.
// Keyboard focus shows as a ring standing 3:1 against the control's look without it, where styles draw it
// faintly or, on a default button, not at all.
class Style final : public QProxyStyle {
public:
    // Takes `desktop`, the style in force before.
    explicit Style(QStyle* desktop);

    // Marks `action` as its menu's status line; it stays disabled, so it cannot be clicked or chosen.
    static void setStatusLine(QAction* action);
    // The keyboard focus ring, two pixels just inside `rect`; against `below` when the caller knows what lies
    // there, else against the window, button faces, text fields and cards.
    static void drawFocusRing(QPainter* painter, const QStyleOption& option, QRect rect, const QColor& below = {});

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
};

} // namespace corvane
