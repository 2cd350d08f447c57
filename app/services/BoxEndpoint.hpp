#pragma once

#include <string>

namespace corvane {

// Where the box answers. Everything that names the box asks here, so that CORVANE_BOX_ADDRESS (a loopback
// address such as 127.0.0.2) moves the whole box for tests and the demo.
namespace BoxEndpoint {

inline constexpr const char* defaultAddress = "10.77.0.1";
inline constexpr const char* overrideVariable = "CORVANE_BOX_ADDRESS";
inline constexpr int agentPort = 47800;
inline constexpr int streamHttpPort = 48089;

// The box's IPv4 address: the override when it is a valid dotted address, else "10.77.0.1".
std::string address();

// "http://<address>:47800", no trailing slash.
std::string agentBase();

// What this computer's own end of the cable starts with: "10.77.0.", or the override's first three parts.
std::string linkPrefix();

// Whether a local address counts as this computer's end of the cable.
bool isLinkAddress(const std::string& localAddress);

// Whether the box has been moved to a loopback address (then nothing may leave 127.0.0.0/8).
bool isOverridden();

}  // namespace BoxEndpoint

}  // namespace corvane
