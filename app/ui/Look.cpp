#include "app/ui/Look.hpp"

#include "app/ui/Contrast.hpp"
#include "app/ui/Style.hpp"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace corvane::Look {
namespace {

constexpr double kReadable = 4.6;  // a little over 4.5, so rounding in the drawing never takes it under
constexpr double kEdge = 3.2;      // a little over 3, as above

class PaletteGuard final : public QObject {
public:
    PaletteGuard() : QObject(qApp) {
        qApp->installEventFilter(this);
        fix();
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        if (target == qApp && event->type() == QEvent::ApplicationPaletteChange && !fixing_) fix();
        return false;
    }

private:
    void fix() {
        QPalette palette = QApplication::palette();
        bool changed = false;
        for (const auto group : {QPalette::Active, QPalette::Inactive}) {
            // The default button and chosen items write their text on the highlight, which the style may
            // lighten for a button's face: hence the margin over 4.5.
            const QColor highlight = Contrast::atLeast(palette.color(group, QPalette::Highlight),
                                                       {palette.color(group, QPalette::HighlightedText)}, 6.0);
            if (highlight != palette.color(group, QPalette::Highlight)) {
                palette.setColor(group, QPalette::Highlight, highlight);
                changed = true;
            }
            // The default button's face is the button colour tinted with the highlight.
            const QColor face = palette.color(group, QPalette::Button);
            QColor tinted = palette.color(group, QPalette::Highlight);
            tinted.setAlphaF(0.4f);
            const QColor buttonText = Contrast::atLeast(palette.color(group, QPalette::ButtonText),
                                                        {face, Contrast::over(tinted, face)}, kReadable);
            if (buttonText != palette.color(group, QPalette::ButtonText)) {
                palette.setColor(group, QPalette::ButtonText, buttonText);
                changed = true;
            }
            const QColor window = palette.color(group, QPalette::Window);
            const QColor wanted = Contrast::atLeast(
                palette.color(group, QPalette::PlaceholderText),
                {window, palette.color(group, QPalette::Base), fill(palette, Fill::card), fill(palette, Fill::accent)},
                kReadable);
            if (wanted != palette.color(group, QPalette::PlaceholderText)) {
                palette.setColor(group, QPalette::PlaceholderText, wanted);
                changed = true;
            }
        }
        if (!changed) return;
        fixing_ = true;
        QApplication::setPalette(palette);
        fixing_ = false;
    }

    bool fixing_ = false;
};

class ChangeWatch final : public QObject {
public:
    ChangeWatch(QWidget* widget, std::function<void()> redo) : QObject(widget), redo_(std::move(redo)) {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override {
        const auto type = event->type();
        // The application's change reaches a widget before its own palette follows; the widget's own
        // change comes next, unless it holds a palette of its own.
        const bool own = static_cast<QWidget*>(target)->testAttribute(Qt::WA_SetPalette);
        if (type == QEvent::PaletteChange || type == QEvent::StyleChange || (own && type == QEvent::ApplicationPaletteChange))
            redo_();
        return false;
    }

private:
    std::function<void()> redo_;
};

} // namespace

QColor fill(const QPalette& palette, Fill fill) {
    QColor top = palette.color(fill == Fill::card ? QPalette::WindowText : QPalette::Highlight);
    top.setAlphaF(fill == Fill::card ? 0.06f : 0.10f);
    return Contrast::over(top, palette.color(QPalette::Window));
}

QColor outline(const QPalette& palette, QPalette::ColorRole from) {
    const QColor window = palette.color(QPalette::Window);
    return Contrast::atLeast(palette.color(from), {window, palette.color(QPalette::Base), fill(palette, Fill::card)}, kEdge);
}

void keepReadable() {
    static PaletteGuard* guard = nullptr;
    if (guard) return;
    // The style first: setting one may hand the app a palette, which the guard then sees to.
    QApplication::setStyle(new Style(QApplication::style()));
    guard = new PaletteGuard;
}

void onChange(QWidget* widget, std::function<void()> redo) { new ChangeWatch(widget, std::move(redo)); }

} // namespace corvane::Look
