#include "app/ui/Look.hpp"

#include "app/ui/Contrast.hpp"

#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace corvane::Look {
namespace {

constexpr double kReadable = 4.6;  // a little over 4.5, so rounding in the drawing never takes it under

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
    bool eventFilter(QObject*, QEvent* event) override {
        const auto type = event->type();
        if (type == QEvent::PaletteChange || type == QEvent::ApplicationPaletteChange || type == QEvent::StyleChange)
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

void keepReadable() {
    static PaletteGuard* guard = nullptr;
    if (!guard) guard = new PaletteGuard;
}

void onChange(QWidget* widget, std::function<void()> redo) { new ChangeWatch(widget, std::move(redo)); }

} // namespace corvane::Look
