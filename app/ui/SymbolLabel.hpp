#pragma once

#include "app/ui/Tint.hpp"

#include <QLabel>

#include <string>

namespace corvane {

// A symbol in one of the named colours, drawn again whenever the palette, the style or the symbol changes,
// so it reads in light and dark alike.
class SymbolLabel final : public QLabel {
public:
    SymbolLabel(std::string symbol, Tint tint, int size, QWidget* parent = nullptr);
    void setSymbol(const std::string& symbol, Tint tint);

protected:
    void changeEvent(QEvent* event) override;

private:
    void render();

    std::string symbol_;
    Tint tint_;
    int size_;
    QString shown_;
};

} // namespace corvane
