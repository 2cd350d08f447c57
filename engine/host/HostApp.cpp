#include "engine/host/HostApp.hpp"

#include "engine/Text.hpp"
#include "engine/host/HostReply.hpp"

namespace corvane::stream {

std::vector<HostApp> HostApp::list(const HostXML& xml) {
    HostReply::check(xml);
    std::vector<HostApp> apps;
    for (const auto& child : xml.children) {
        if (child.name != "App") continue;
        const auto idText = child["ID"];
        const auto id = idText ? text::parseInteger(*idText) : std::nullopt;
        if (!id) continue;
        apps.push_back(HostApp{*id, child["AppTitle"].value_or(""), child["IsHdrSupported"] == "1"});
    }
    return apps;
}

} // namespace corvane::stream
