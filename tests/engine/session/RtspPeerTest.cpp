#include "engine/session/RTSP.hpp"

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "boxsim/session/RtspServer.hpp"
#include "engine/session/SDP.hpp"
#include "engine/session/TCPExchange.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Every request of the handshake goes to the box's RTSP server as the session sends it; the bytes the server
// received are put into a capture that Wireshark's dissectors must read as RTSP with an SDP body.
TEST(RtspPeer, WiresharkReadsTheHandshakeAndTheOffer) {
    ASSERT_EQ(test::runCommand("command -v text2pcap tshark >/dev/null && echo ok").output, "ok\n")
        << "text2pcap and tshark (wireshark-common, tshark) are needed";

    const std::string box = test::uniqueLoopbackAddress();
    boxsim::RtspServer::Config config;
    config.address = box;
    boxsim::RtspServer server(config);
    server.start();

    const std::string base = "rtsp://" + box + ":48010";
    const Headers common = {{"X-GS-ClientVersion", "14"}, {"Host", box}};
    const Headers transport = {{"Transport", "unicast;X-GS-ClientPort=50000-50001"},
                               {"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}};
    StreamConfig stream(2560, 1440, 120, 50000, StreamConfig::Codec::hevc, 6, 1392);
    stream.hdr = true;
    const Bytes offer = SDP::announce(stream, "127.0.0.1", 1);
    std::int64_t cseq = 0;
    auto send = [&](const std::string& method, const std::string& target, Headers headers, const Bytes& body = {}) {
        headers.insert(headers.end(), common.begin(), common.end());
        const auto reply = TCPExchange::send(box, 48010, RTSP::request(method, target, ++cseq, headers, body), 5, method);
        EXPECT_EQ(reply.status, 200) << method;
    };
    auto withSession = [](Headers headers) {
        headers.insert(headers.begin(), {"Session", "DEADBEEFCAFE"});
        return headers;
    };
    send("OPTIONS", base, {});
    send("DESCRIBE", base, {{"Accept", "application/sdp"}, {"If-Modified-Since", "Thu, 01 Jan 1970 00:00:00 GMT"}});
    send("SETUP", "streamid=audio/0/0", transport);
    send("SETUP", "streamid=video/0/0", withSession(transport));
    send("SETUP", "streamid=control/13/0", withSession(transport));
    send("ANNOUNCE", "streamid=control/13/0", withSession({{"Content-type", "application/sdp"}}), offer);
    send("PLAY", "/", withSession({}));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 7u);

    // One TCP segment per request, from the client's port toward the box's RTSP port.
    test::TempDir dir;
    const auto dump = dir.path() / "requests.txt";
    const auto capture = dir.path() / "requests.pcapng";
    {
        std::ofstream out(dump);
        char piece[24];
        for (const auto& request : requests) {
            for (std::size_t at = 0; at < request.raw.size(); ++at) {
                if (at % 16 == 0) {
                    std::snprintf(piece, sizeof piece, "%s%06zx", at ? "\n" : "", at);
                    out << piece;
                }
                std::snprintf(piece, sizeof piece, " %02x", static_cast<unsigned char>(request.raw[at]));
                out << piece;
            }
            out << "\n\n";
        }
    }
    ASSERT_EQ(test::runCommand("text2pcap -q -T 50000,48010 -4 127.0.0.1," + box + " '" + dump.string() + "' '" +
                               capture.string() + "' 2>&1")
                  .status,
              0);
    const auto dissected =
        test::runCommand("tshark -r '" + capture.string() + "' -d tcp.port==48010,rtsp -V 2>&1");
    ASSERT_EQ(dissected.status, 0) << dissected.output;
    const std::string& v = dissected.output;

    EXPECT_EQ(count(v, "Malformed"), 0) << v;
    EXPECT_EQ(count(v, "Real Time Streaming Protocol"), 7);
    for (const char* method : {"OPTIONS", "DESCRIBE", "ANNOUNCE", "PLAY"}) EXPECT_EQ(count(v, std::string("Method: ") + method + "\n"), 1) << method;
    EXPECT_EQ(count(v, "Method: SETUP\n"), 3);
    EXPECT_EQ(count(v, "URL: " + base + "\n"), 2);
    EXPECT_EQ(count(v, "URL: streamid=control/13/0\n"), 2);
    for (int n = 1; n <= 7; ++n) EXPECT_EQ(count(v, "CSeq: " + std::to_string(n) + "\\r\\n"), 1) << n;
    const std::pair<std::string, int> counts[] = {
        {"URL: streamid=audio/0/0\n", 1}, {"URL: streamid=video/0/0\n", 1}, {"URL: /\n", 1},
        {"Session: DEADBEEFCAFE", 4}, {"Transport: unicast;X-GS-ClientPort=50000-50001", 3},
        {"X-GS-ClientVersion: 14\\r\\n", 7}, {"Host: " + box + "\\r\\n", 7}, {"Accept: application/sdp", 1},
        {"Content-type: application/sdp", 1}, {"Content-length: " + std::to_string(offer.size()), 1}};
    for (const auto& [text, n] : counts) EXPECT_EQ(count(v, text), n) << text;

    // The offer, field by field.
    EXPECT_EQ(count(v, "Session Description Protocol\n"), 1);
    for (const char* field : {"Session Description Protocol Version (v): 0", "Owner Username: android",
                              "Session ID: 0", "Session Version: 14", "Owner Network Type: IN",
                              "Owner Address Type: IPv4", "Owner Address: 127.0.0.1",
                              "Session Name (s): Corvane Streaming Client", "Session Start Time: 0",
                              "Session Stop Time: 0", "Media Type: video", "Media Port: 47998"})
        EXPECT_EQ(count(v, field), 1) << field;
    const auto attributes = RTSP::sdpAttributes(offer);
    ASSERT_EQ(attributes.size(), 34u);
    EXPECT_EQ(count(v, "Session Attribute Fieldname: "), 34);
    for (const auto& [key, value] : attributes)
        EXPECT_EQ(count(v, "Session Attribute (a): " + key + ":" + value + "\n"), 1) << key;
    EXPECT_EQ(count(v, "Session Attribute Value: rtsp://127.0.0.1:48010"), 1);
}

} // namespace
} // namespace corvane::stream
