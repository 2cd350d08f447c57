#include "app/controller/CableLink.hpp"

namespace corvane {
namespace {

class SystemCable final : public CableLink {
public:
    std::optional<std::string> linkAddress() override { return NetworkLink::linkAddress(); }
    bool bridgeHasSelfAssignedAddress() override { return NetworkLink::bridgeHasSelfAssignedAddress(); }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token stop) override { return NetworkLink::bridgeStatus({}, stop); }
    void fixBridge(const NetworkLink::BridgeStatus& status, std::stop_token stop) override {
        NetworkLink::fixBridge(status, {}, stop);
    }
    void assignLinkAddressManually(std::stop_token stop) override { NetworkLink::assignLinkAddressManually({}, stop); }
};

} // namespace

std::unique_ptr<CableLink> CableLink::system() { return std::make_unique<SystemCable>(); }

} // namespace corvane
