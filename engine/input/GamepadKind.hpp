#pragma once

#include "engine/input/GamepadPacket.hpp"
#include "platform/gamepad/GamepadManager.hpp"

// Which family a controller belongs to, as the box is told in its arrival packet.
namespace corvane::stream::GamepadKind {

// PlayStation types are `playstation`, Xbox types `xbox`; otherwise a product category or name that mentions
// "switch", "joy-con" or "nintendo" makes `nintendo`, and everything else is treated as `xbox`.
GamepadPacket::Kind of(const platform::GamepadManager::Info& controller);

} // namespace corvane::stream::GamepadKind
