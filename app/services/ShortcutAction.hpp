#pragma once

#include "app/services/RawValues.hpp"

#include <string_view>

namespace corvane {

// The two stream shortcuts that stay with this computer while Windows has the keyboard.
enum class ShortcutAction { releaseMouse, endSession };

template <>
struct RawValueTable<ShortcutAction> {
    static constexpr std::array<std::pair<ShortcutAction, std::string_view>, 2> entries{{
        {ShortcutAction::releaseMouse, "releaseMouse"},
        {ShortcutAction::endSession, "endSession"},
    }};
};

// "Release mouse", "End session".
constexpr std::string_view title(ShortcutAction action) {
    return action == ShortcutAction::releaseMouse ? "Release mouse" : "End session";
}

} // namespace corvane
