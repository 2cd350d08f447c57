#include "app/controller/CableLink.hpp"

namespace corvane {
namespace {

class SystemCable final : public CableLink {
public:
    explicit SystemCable(NetworkLink::Tools tools) : tools_(std::move(tools)) {}
    std::optional<std::string> linkAddress() override { return NetworkLink::linkAddress(); }
    bool bridgeHasSelfAssignedAddress() override { return NetworkLink::bridgeHasSelfAssignedAddress(); }
    NetworkLink::BridgeStatus bridgeStatus(std::stop_token stop) override { return NetworkLink::bridgeStatus(tools_, stop); }
    void fixBridge(const NetworkLink::BridgeStatus& status, std::stop_token stop) override {
        NetworkLink::fixBridge(status, tools_, stop);
    }
    void assignLinkAddressManually(std::stop_token stop) override { NetworkLink::assignLinkAddressManually(tools_, stop); }

private:
    NetworkLink::Tools tools_;
};

} // namespace

std::unique_ptr<CableLink> CableLink::system(NetworkLink::Tools tools) {
    return std::make_unique<SystemCable>(std::move(tools));
}

} // namespace corvane
