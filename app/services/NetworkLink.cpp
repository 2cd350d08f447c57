#include "app/services/NetworkLink.hpp"

#include "app/services/BoxEndpoint.hpp"
#include "app/services/Shell.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace corvane::NetworkLink {
namespace {

constexpr double kToolTimeout = 10;
constexpr const char* kFixPrompt =
    "Corvane needs to set up the Thunderbolt connection to your box. This only happens once.";
constexpr const char* kManualPrompt = "Corvane will connect to your box directly over the Thunderbolt cable.";
constexpr const char* kManualAddress = "10.77.0.2/24";
constexpr const char* kDefaultInterface = "thunderbolt0";

// Splits one line of nmcli's terse output: fields end at an unescaped ':'; "\:" and "\\" stand for ':' and
// '\'.
std::vector<std::string> terseFields(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            fields.back() += line[++i];
        } else if (c == ':') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> result;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        result.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return result;
}

// The first thunderbolt interface the system has, with or without an address.
std::string firstBridgeInterface() {
    std::string found = kDefaultInterface;
    if (struct if_nameindex* names = ::if_nameindex()) {
        for (struct if_nameindex* entry = names; entry->if_index != 0 && entry->if_name; ++entry) {
            if (std::string_view(entry->if_name).starts_with(bridgeInterfacePrefix)) {
                found = entry->if_name;
                break;
            }
        }
        ::if_freenameindex(names);
    }
    return found;
}

} // namespace

std::vector<InterfaceAddress> ipv4Addresses() {
    std::vector<InterfaceAddress> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
        char host[NI_MAXHOST];
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        result.push_back({entry->ifa_name, host});
    }
    ::freeifaddrs(list);
    return result;
}

std::optional<std::string> linkAddress() {
    for (const auto& entry : ipv4Addresses())
        if (BoxEndpoint::isLinkAddress(entry.address)) return entry.address;
    return std::nullopt;
}

bool bridgeHasSelfAssignedAddress() {
    for (const auto& entry : ipv4Addresses())
        if (entry.interface.starts_with(bridgeInterfacePrefix) && entry.address.starts_with("169.254.")) return true;
    return false;
}

std::string quoted(std::string_view text) {
    std::string result = "'";
    for (const char c : text) {
        if (c == '\'')
            result += "'\\''";
        else
            result += c;
    }
    return result + "'";
}

std::optional<std::pair<std::string, bool>> findBridgeConnection(std::string_view listing) {
    for (const auto line : lines(listing)) {
        const auto fields = terseFields(line);
        if (fields.size() < 3 || fields[0].empty()) continue;
        const std::string& name = fields[0];
        const std::string& device = fields[2];
        if (name == bridgeServiceName || device.starts_with(bridgeInterfacePrefix))
            return std::pair{name, fields[1] != "no"};
    }
    return std::nullopt;
}

BridgeStatus bridgeStatus(const Tools& tools, std::stop_token stop) {
    const Shell::Runner run = tools.run ? tools.run : Shell::Runner(Shell::run);
    const ProcessResult listing =
        run(tools.nmcli, {"-t", "-f", "NAME,AUTOCONNECT,DEVICE", "connection", "show"}, kToolTimeout, stop);
    if (listing.status != 0 || listing.timedOut) return {bridgeServiceName, true, true};
    const auto found = findBridgeConnection(listing.stdout);
    if (!found) return {std::nullopt, false, false};

    const ProcessResult info =
        run(tools.nmcli, {"-t", "-f", "ipv4.method", "connection", "show", "id", found->first}, kToolTimeout, stop);
    bool usesDHCP = false;
    for (const auto line : lines(info.stdout))
        if (line == "ipv4.method:auto") usesDHCP = true;
    return {found->first, found->second, usesDHCP};
}

std::string fixBridgeCommand(const BridgeStatus& status, const Tools& tools, const std::string& interface) {
    const std::string name = quoted(status.serviceName.value_or(bridgeServiceName));
    const std::string nmcli = quoted(tools.nmcli);
    std::vector<std::string> steps;
    if (!status.serviceName)
        steps.push_back(nmcli + " connection add type ethernet con-name " + name + " ifname " + quoted(interface));
    steps.push_back(nmcli + " connection modify " + name + " connection.autoconnect yes");
    steps.push_back(nmcli + " connection modify " + name + " ipv4.method auto");
    // Bringing it up needs the cable; without one the settings above still take effect when it comes.
    steps.push_back("{ " + nmcli + " connection up " + name + " >/dev/null 2>&1 || true; }");
    std::string line;
    for (const auto& step : steps) line += (line.empty() ? "" : " && ") + step;
    return line;
}

void fixBridge(const BridgeStatus& status, const Tools& tools, std::stop_token stop) {
    Shell::runAsAdmin(fixBridgeCommand(status, tools, firstBridgeInterface()), kFixPrompt, tools.adminProgram,
                      std::move(stop), tools.run);
}

std::string manualAddressCommand(const std::vector<InterfaceAddress>& addresses, const Tools& tools) {
    std::string interface = kDefaultInterface;
    for (const auto& entry : addresses) {
        if (entry.interface.starts_with(bridgeInterfacePrefix) && entry.address.starts_with("169.254.")) {
            interface = entry.interface;
            break;
        }
    }
    return quoted(tools.ip) + " address add " + kManualAddress + " dev " + quoted(interface);
}

void assignLinkAddressManually(const Tools& tools, std::stop_token stop) {
    Shell::runAsAdmin(manualAddressCommand(ipv4Addresses(), tools), kManualPrompt, tools.adminProgram,
                      std::move(stop), tools.run);
}

} // namespace corvane::NetworkLink
