#pragma once

#include "platform/core/Bytes.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// Wakes the box with magic packets over this computer's other networks (every interface but the cable).
// No state; send() blocks for the duration of its sends, so callers run it off the main thread.
//
// When the box has been moved to a loopback address (BoxEndpoint::isOverridden()), every packet goes to
// that address alone and nothing is broadcast.
namespace WakeOnLAN {

inline constexpr std::uint16_t primaryPort = 9;
inline constexpr std::uint16_t secondaryPort = 7;

// Six 0xFF bytes, then the six address bytes 16 times (102 bytes); none when `mac` is not six hexadecimal
// bytes separated by ":" or "-" (mixed and doubled separators allowed).
std::optional<Bytes> packet(std::string_view mac);

// IPv4 broadcast addresses (network byte order) of the interfaces that are up, can broadcast and are not
// loopback, leaving out the 10.77.x.x cable and addresses without a real broadcast address (0, or the
// address itself); in interface order, repeats kept.
std::vector<std::uint32_t> broadcastAddresses();

// Sends every valid packet to port 9 and then to port 7 of each destination (the broadcast addresses and
// 255.255.255.255, each once). Returns the number of sends that went out whole; invalid texts are skipped.
int send(const std::vector<std::string>& macs);

} // namespace WakeOnLAN

} // namespace corvane
