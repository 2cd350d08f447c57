#pragma once

#include "app/controller/BoxController.hpp"

#include "app/ui/Tint.hpp"

#include <QColor>

#include <string>

namespace corvane {

// What the main window's status card shows for a phase: title, detail, symbol, tint and whether a
// spinner stands in for the symbol. A plain value computed afresh on every redraw.
struct StatusText {
    using Tint = corvane::Tint;

    std::string title;
    std::string detail;
    std::string symbol;  // the symbol's name in our icon table (Symbols)
    Tint tint = Tint::accent;
    bool spinning = false;

    StatusText(const BoxController::Phase& phase, const StreamSettings& settings);

    static QColor color(Tint tint);
};

} // namespace corvane
