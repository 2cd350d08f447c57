#include "app/ui/SymbolLabel.hpp"

#include "app/ui/Symbols.hpp"

#include <QEvent>

namespace corvane {

SymbolLabel::SymbolLabel(std::string symbol, Tint tint, int size, QWidget* parent)
    : QLabel(parent), symbol_(std::move(symbol)), tint_(tint), size_(size) {
    setFixedSize(size, size);
    render();
}

void SymbolLabel::setSymbol(const std::string& symbol, Tint tint) {
    symbol_ = symbol;
    tint_ = tint;
    render();
}

void SymbolLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    const auto type = event->type();
    if (type == QEvent::PaletteChange || type == QEvent::StyleChange) render();
}

void SymbolLabel::render() {
    const QColor colour = tint_ == Tint::text ? palette().color(QPalette::WindowText) : tintColor(tint_);
    // Set again only when what it shows changed: an unchanged symbol repaints nothing.
    const QString key = QString::fromStdString(symbol_) + ' ' + colour.name(QColor::HexArgb) + ' ' +
                        QString::number(devicePixelRatioF());
    if (key == shown_) return;
    shown_ = key;
    setPixmap(Symbols::icon(symbol_, colour).pixmap(size_, size_));
}

} // namespace corvane
