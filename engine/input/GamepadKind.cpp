#include "engine/input/GamepadKind.hpp"

#include <algorithm>
#include <cctype>
#include <string>

namespace corvane::stream::GamepadKind {

GamepadPacket::Kind of(const platform::GamepadManager::Info& controller) {
    using Type = platform::GamepadManager::Type;
    using GamepadPacket::Kind;
    switch (controller.type) {
    case Type::ps3:
    case Type::ps4:
    case Type::ps5: return Kind::playstation;
    case Type::xbox360:
    case Type::xboxOne: return Kind::xbox;
    default: break;
    }
    std::string text = controller.productCategory + " " + controller.name;
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* word : {"switch", "joy-con", "nintendo"})
        if (text.find(word) != std::string::npos) return Kind::nintendo;
    return Kind::xbox;
}

} // namespace corvane::stream::GamepadKind
