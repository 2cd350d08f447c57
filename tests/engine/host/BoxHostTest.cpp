#include "engine/BoxHost.hpp"
#include "engine/host/HostError.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

// What each request may take, as the box host hands it to the transport: launching waits longest, for
// the box to start the application; pairing's first step waits for the PIN to be typed on the box.
TEST(BoxHostRequests, EachCarriesItsOwnTimeOutAndARefusedLaunchFails) {
    test::TempDir dir;
    auto defaults = std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json");
    std::vector<std::string> sent;
    std::string reply, launchReply;
    BoxHost host(test::uniqueLoopbackAddress(), 48089,
                 ClientIdentityStore("Corvane Stream Client", platform::KeyStore(dir.path() / "keys")), defaults,
                 [&](const platform::HttpRequest& r, std::stop_token, const platform::HttpReceiver*) {
                     sent.push_back((r.secure ? "https " : "http ") + r.path + " " + std::to_string(r.timeoutSeconds));
                     return platform::HttpResponse{200, bytesOf(r.path == "/launch" && !launchReply.empty() ? launchReply : reply)};
                 });
    // Every reply passes as paired, names a session and carries a certificate, but no pairing challenge.
    reply = "<root status_code=\"200\"><uniqueid>B0X</uniqueid><appversion>7.1.431.-1</appversion><paired>1</paired>"
            "<PairStatus>1</PairStatus><sessionUrl0>rtsp://box:48010</sessionUrl0><plaincert>" +
            hex(bytesOf(host.identityStore.loadOrCreate().certificatePEM())) + "</plaincert></root>";
    defaults->set("CorvaneStream.PairedBoxes.Corvane Stream Client",
                  {platform::DefaultsValue::Dictionary{{"B0X", {Bytes{1}}}}});
    const StreamConfig config(1280, 720, 60, 5000, StreamConfig::Codec::h264, 2, 1392);
    // A launch the box refuses, or answers without a session, fails.
    for (const auto& [answer, error] :
         {std::pair{"<root status_code=\"503\" status_message=\"busy\"/>", "box replied 503: busy"},
          {"<root status_code=\"200\"><sessionUrl0/></root>", "unexpected reply to /launch"}}) {
        launchReply = answer;
        EXPECT_EQ(test::failureOf<HostError>([&] { host.start(1, config, SessionKeys::random(), false); }), error);
    }
    launchReply.clear();
    sent.clear();
    host.pairedServerInfo();
    host.appList();
    host.start(1, config, SessionKeys::random(), false);
    host.start(1, config, SessionKeys::random(), true);
    host.cancel();
    EXPECT_THROW(host.pair("Corvane", [](const std::string&, std::stop_token) {}), Pairing::Failure);
    EXPECT_TRUE(host.unpair());
    const std::string info = "http /serverinfo 5.000000";
    const std::vector<std::string> expected = {
        info, "https /serverinfo 5.000000", info, "https /applist 5.000000", info, "https /launch 30.000000",
        info, "https /resume 30.000000", info, "https /cancel 15.000000",
        info, "http /pair 75.000000", "http /pair 15.000000", "http /unpair 5.000000", info, "https /unpair 5.000000"};
    EXPECT_EQ(sent, expected);
}

TEST(BoxHostSessionStart, EncryptionAndPortComeFromTheSessionURL) {
    const struct { const char* url; bool encrypted; int port; } cases[] = {
        {"rtspenc://10.77.0.1:48010", true, 48010}, {"rtsp://10.77.0.1:50000", false, 50000},
        {"rtsp://10.77.0.1", false, 48010},         {"RTSPENC://10.77.0.1:1", false, 1},
        {"not a url", false, 48010},
    };
    for (const auto& c : cases) {
        const BoxHost::SessionStart start{c.url};
        EXPECT_EQ(start.encryptedRTSP(), c.encrypted) << c.url;
        EXPECT_EQ(start.rtspPort(), c.port) << c.url;
    }
}

} // namespace
} // namespace corvane::stream
