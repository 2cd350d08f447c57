#include "app/services/KeyShortcut.hpp"

#include <nlohmann/json.hpp>

#include <limits>

namespace corvane {

std::string KeyShortcut::display() const {
    std::string text;
    for (const auto& [flag, word] : {std::pair{control, "Ctrl"}, std::pair{option, "Alt"},
                                     std::pair{shift, "Shift"}, std::pair{command, "Super"}}) {
        if (modifiers & flag) text += std::string(word) + " + ";
    }
    return text + key;
}

bool KeyShortcut::matches(std::uint16_t eventKeyCode, std::uint64_t eventFlags) const {
    return eventKeyCode == keyCode && (eventFlags & modifierMask) == (modifiers & modifierMask);
}

std::string KeyShortcut::toJson() const {
    const nlohmann::json object = {{"keyCode", keyCode}, {"modifiers", modifiers}, {"key", key}};
    // A key name that is not UTF-8 is shown with replacement characters rather than losing the shortcut.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<KeyShortcut> KeyShortcut::fromJson(std::string_view json) {
    const auto object = nlohmann::json::parse(json, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return std::nullopt;
    const auto keyCode = object.find("keyCode");
    const auto modifiers = object.find("modifiers");
    const auto key = object.find("key");
    if (keyCode == object.end() || modifiers == object.end() || key == object.end()) return std::nullopt;
    if (!key->is_string()) return std::nullopt;
    const auto wholeNumber = [](const nlohmann::json& value, std::uint64_t max) -> std::optional<std::uint64_t> {
        if (value.is_number_unsigned()) {
            const auto number = value.get<std::uint64_t>();
            if (number <= max) return number;
        } else if (value.is_number_integer()) {
            const auto number = value.get<std::int64_t>();
            if (number >= 0 && static_cast<std::uint64_t>(number) <= max) return static_cast<std::uint64_t>(number);
        }
        return std::nullopt;
    };
    const auto code = wholeNumber(*keyCode, std::numeric_limits<std::uint16_t>::max());
    const auto flags = wholeNumber(*modifiers, std::numeric_limits<std::uint64_t>::max());
    if (!code || !flags) return std::nullopt;
    return KeyShortcut{static_cast<std::uint16_t>(*code), *flags, key->get<std::string>()};
}

KeyShortcut KeyShortcut::defaultReleaseMouse() { return {6, 0xE0000, "Z"}; }

KeyShortcut KeyShortcut::defaultEndSession() { return {12, 0xE0000, "Q"}; }

} // namespace corvane
