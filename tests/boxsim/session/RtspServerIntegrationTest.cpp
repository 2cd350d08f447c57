// The simulated box's RTSP replies, byte for byte: the engine takes defaults for ports, ping payloads and
// connect data it cannot find, so a misnamed header would pass every end-to-end test.
#include "boxsim/session/RtspServer.hpp"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <gtest/gtest.h>
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

// One request on its own connection; the reply is everything read until the box closes (or 10 s pass).
std::string rtspExchange(const std::string& address, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(48010);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        for (ssize_t n = 1; n > 0 && ::poll(&p, 1, 10000) > 0;)
            if ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

TEST(RtspServerReplies, TheHandshakeRepliesAreThePinnedBytes) {
    const std::string address = test::uniqueLoopbackAddress();
    RtspServer server({.address = address});
    server.start();
    const std::string url = "rtsp://" + address + ":48010";
    const auto ask = [&](const std::string& method, const std::string& target, int cseq, const std::string& extra = "") {
        return rtspExchange(address, method + " " + target + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n");
    };
    EXPECT_EQ(ask("OPTIONS", url, 1), "RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: OPTIONS, DESCRIBE, SETUP, ANNOUNCE, PLAY\r\n\r\n");
    const std::string sdp = "v=0\r\no=- 0 0 IN IPv4 0.0.0.0\r\ns=boxsim\r\na=x-ss-general.featureFlags:3\r\n"
                            "a=x-ss-general.encryptionSupported:1\r\na=x-ss-general.encryptionRequested:1\r\n"
                            "a=x-nv-general.serverPorts:48000\r\nt=0 0\r\nm=audio 48000 RTP/AVP 97\r\n"
                            "a=fmtp:97 surround-params=21101\r\na=fmtp:97 surround-params=642012453\r\n"
                            "a=fmtp:97 surround-params=85301245367\r\nm=video 47998 RTP/AVP 96\r\n";
    EXPECT_EQ(ask("DESCRIBE", url, 2), "RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Type: application/sdp\r\nContent-Length: " +
                                           std::to_string(sdp.size()) + "\r\n\r\n" + sdp);
    EXPECT_EQ(ask("SETUP", "streamid=audio/0/0", 3),
              "RTSP/1.0 200 OK\r\nCSeq: 3\r\nSession: DEADBEEFCAFE;timeout = 90\r\nTransport: server_port=48000-48001\r\n"
              "X-SS-Ping-Payload: AUDIOPINGPAYLOAD\r\n\r\n");
    const std::string session = "Session: DEADBEEFCAFE\r\n";
    EXPECT_EQ(ask("SETUP", "streamid=video/0/0", 4, session),
              "RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: DEADBEEFCAFE\r\nTransport: server_port=47998-47999\r\n"
              "X-SS-Ping-Payload: VIDEOPINGPAYLOAD\r\n\r\n");
    EXPECT_EQ(ask("SETUP", "streamid=control/13/0", 5, session),
              "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: DEADBEEFCAFE\r\nTransport: server_port=47999-48000\r\n"
              "X-SS-Connect-Data: 305419896\r\n\r\n");
    EXPECT_EQ(ask("PLAY", "/", 6, session), "RTSP/1.0 200 OK\r\nCSeq: 6\r\n\r\n");
    // A step without the session, and a request of another protocol version, are refused with their status.
    EXPECT_EQ(ask("PLAY", "/", 7), "RTSP/1.0 454 Session Not Found\r\nCSeq: 7\r\n\r\n");
    EXPECT_EQ(rtspExchange(address, "OPTIONS / RTSP/2.0\r\nCSeq: 8\r\n\r\n"), "RTSP/1.0 505 RTSP Version Not Supported\r\nCSeq: 8\r\n\r\n");
    server.stop();
}

} // namespace
} // namespace corvane::boxsim
