// Any bytes as a streaming host's reply: parsing, the status check and both fixed-shape readers must
// either succeed or throw HostError, never crash or run away.

#include "engine/host/HostApp.hpp"
#include "engine/host/HostError.hpp"
#include "engine/host/HostReply.hpp"
#include "engine/host/HostXML.hpp"
#include "engine/host/ServerInfo.hpp"

#include <cstddef>
#include <cstdint>

using namespace corvane::stream;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto root = HostXML::parse(corvane::ByteView(data, size));
    if (!root) return 0;
    (void)(*root)["hostname"];
    (void)root->all("App");
    try {
        HostReply::check(*root);
    } catch (const HostError&) {
    }
    try {
        const ServerInfo info(*root);
        if (info.httpsPort < 1 || info.httpsPort > 65535 || info.httpPort < 1 || info.httpPort > 65535)
            __builtin_trap();
        (void)info.majorVersion();
        (void)info.busy();
    } catch (const HostError&) {
    }
    try {
        (void)HostApp::list(*root);
    } catch (const HostError&) {
    }
    return 0;
}
