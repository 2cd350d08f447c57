#pragma once

#include "app/services/Shell.hpp"

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// The cable to the box as an IP link. The Thunderbolt cable shows up as a thunderbolt-net interface
// ("thunderbolt0"); NetworkManager holds its settings as a connection named "Thunderbolt Bridge", which
// should be set to connect automatically and to take its address by DHCP. The box answers at
// BoxEndpoint::address(); this computer's end is any local address that starts with BoxEndpoint::linkPrefix().
//
// No state. The address calls are cheap (one walk of the interface list); bridgeStatus, fixBridge and
// assignLinkAddressManually run child processes and block until they end, so callers on the main thread run
// them off it.
namespace NetworkLink {

inline constexpr const char* bridgeServiceName = "Thunderbolt Bridge";
inline constexpr const char* bridgeInterfacePrefix = "thunderbolt";

struct BridgeStatus {
    std::optional<std::string> serviceName;  // the connection that serves the cable; none when missing
    bool enabled = false;                    // it connects automatically
    bool usesDHCP = false;                   // its IPv4 method is automatic (DHCP)

    bool operator==(const BridgeStatus&) const = default;
};

struct InterfaceAddress {
    std::string interface;  // "thunderbolt0"
    std::string address;    // dotted decimal

    bool operator==(const InterfaceAddress&) const = default;
};

// The programs used; tests put recording scripts in their place.
struct Tools {
    std::string nmcli = "/usr/bin/nmcli";
    std::string ip = "/sbin/ip";
    std::string adminProgram = "/usr/bin/pkexec";
    Shell::Runner run;  // empty: Shell::run
};

// Every IPv4 address of every interface (down ones and loopback included), in the system's order, one entry
// per address; empty when the list cannot be read.
std::vector<InterfaceAddress> ipv4Addresses();
// The first address that starts with the link prefix ("10.77.0.").
std::optional<std::string> linkAddress();
// Whether a thunderbolt interface holds a self-assigned 169.254.x.x address (a cable without a lease).
bool bridgeHasSelfAssignedAddress();

// Reads the connection with "nmcli -t -f NAME,AUTOCONNECT,DEVICE connection show" (10 s): the first one
// named "Thunderbolt Bridge" or active on a thunderbolt interface, then its IPv4 method. When nmcli is
// missing or fails, the link is taken as healthy: ("Thunderbolt Bridge", enabled, DHCP).
BridgeStatus bridgeStatus(const Tools& tools = {}, std::stop_token stop = {});

// As administrator: creates the connection when `status` names none, sets it to connect automatically and
// to use DHCP, then tries to bring it up. Throws Shell::AdminError.
void fixBridge(const BridgeStatus& status, const Tools& tools = {}, std::stop_token stop = {});

// As administrator: adds 10.77.0.2/24 to the first thunderbolt interface holding a self-assigned address
// ("thunderbolt0" when none does), beside the address it has. Throws Shell::AdminError.
void assignLinkAddressManually(const Tools& tools = {}, std::stop_token stop = {});

// The pieces, open for tests.
// One shell word: 'text' with each ' written as '\''.
std::string quoted(std::string_view text);
// The connection in an nmcli terse listing of NAME, AUTOCONNECT and DEVICE, with whether it is enabled.
std::optional<std::pair<std::string, bool>> findBridgeConnection(std::string_view listing);
// The command line fixBridge runs.
std::string fixBridgeCommand(const BridgeStatus& status, const Tools& tools, const std::string& interface);
// The command line assignLinkAddressManually runs for a given interface list.
std::string manualAddressCommand(const std::vector<InterfaceAddress>& addresses, const Tools& tools);

} // namespace NetworkLink

} // namespace corvane
