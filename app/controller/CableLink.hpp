#pragma once

#include "app/services/NetworkLink.hpp"

#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace corvane {

// What the box controller sees of the cable: this computer's link address, a self-assigned address on the
// bridge, the bridge's network service and its two repairs. NetworkLink stands behind it; tests script it.
// The address calls are cheap and run on the main thread; the others block and run on the pool.
class CableLink {
public:
    virtual ~CableLink() = default;
    virtual std::optional<std::string> linkAddress() = 0;
    virtual bool bridgeHasSelfAssignedAddress() = 0;
    virtual NetworkLink::BridgeStatus bridgeStatus(std::stop_token stop) = 0;
    virtual void fixBridge(const NetworkLink::BridgeStatus& status, std::stop_token stop) = 0;
    virtual void assignLinkAddressManually(std::stop_token stop) = 0;

    // The real cable, through NetworkManager and the interface list (tests pass stand-in tools).
    static std::unique_ptr<CableLink> system(NetworkLink::Tools tools = {});
};

} // namespace corvane
