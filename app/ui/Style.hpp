#pragma once

#include <QProxyStyle>

class QAction;

namespace corvane {

// The app's style: the desktop's own, with two rules of its own for every window and menu. The edges of
// check boxes, round buttons and pop-up pickers that can be used stand 3:1 against what is around them in
// every look (Look::outline), where styles draw them faintly. A menu's status line, which nobody can
// click, is drawn as text rather than as an item that cannot be used. Installed by Look::keepReadable.
class Style final : public QProxyStyle {
public:
    // Takes `desktop`, the style in force before.
    explicit Style(QStyle* desktop);

    // Marks `action` as its menu's status line; it stays disabled, so it cannot be clicked or chosen.
    static void setStatusLine(QAction* action);

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget = nullptr) const override;
};

} // namespace corvane
