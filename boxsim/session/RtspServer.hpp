#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::boxsim {

// The box's RTSP server for the stream handshake: OPTIONS, DESCRIBE, SETUP of audio, video and control,
// ANNOUNCE with the client's SDP offer, PLAY. One request per TCP connection, each connection on its own
// thread. Every request is recorded; faults can be scripted for the next connections. Test equipment.
class RtspServer final {
public:
    struct Config {
        std::string address = "127.0.0.1";
        std::uint16_t port = 48010;
        // The SDP body of the DESCRIBE reply.
        std::string describeSdp =
            "v=0\r\n"
            "o=- 0 0 IN IPv4 0.0.0.0\r\n"
            "s=boxsim\r\n"
            "a=x-ss-general.featureFlags:3\r\n"
            "a=x-ss-general.encryptionSupported:1\r\n"
            "a=x-ss-general.encryptionRequested:1\r\n"
            "a=x-nv-general.serverPorts:48000\r\n"
            "t=0 0\r\n"
            "m=audio 48000 RTP/AVP 97\r\n"
            "a=fmtp:97 surround-params=21101\r\n"
            "a=fmtp:97 surround-params=642012453\r\n"
            "a=fmtp:97 surround-params=85301245367\r\n"
            "m=video 47998 RTP/AVP 96\r\n";
        std::string sessionId = "DEADBEEFCAFE";
        // The server ports named in the SETUP replies' Transport headers. Integers so that a test can make
        // the box name a port no 16-bit field can hold.
        std::int64_t audioPort = 48000;
        std::int64_t videoPort = 47998;
        std::int64_t controlPort = 47999;
        // false: the SETUP replies name no server port, so the client falls back on its own defaults.
        bool nameServerPorts = true;
        std::optional<std::string> connectData = "305419896";
        std::optional<std::string> audioPingPayload = "AUDIOPINGPAYLOAD";
        std::optional<std::string> videoPingPayload = "VIDEOPINGPAYLOAD";
    };

    // Scripted misbehaviour; it applies to connections accepted after it is set.
    struct Faults {
        // The first N connections are accepted and read but never answered (held open until the peer
        // closes or the server stops).
        int silentAttempts = 0;
        // Each reply is written in this many pieces with a short pause between them (1 = one write).
        int splitWrites = 1;
        // Sent verbatim instead of every reply, then the connection is closed.
        std::optional<std::string> rawReply;
        // Replies with this status and reason instead of 200 OK to the given method.
        std::map<std::string, std::pair<int, std::string>> statusByMethod;
    };

    struct Request {
        std::string method;
        std::string target;
        std::string version;
        std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, as written
        std::string body;
        std::string raw;        // the request bytes as received
        bool answered = false;  // false for a silent attempt

        // First header of that name, case-insensitive.
        std::optional<std::string> header(const std::string& name) const;
    };

    explicit RtspServer(Config config);
    ~RtspServer();
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    // Binds and listens on the address and port; throws std::runtime_error when it cannot.
    void start();
    // Stops listening and ends every open connection; later connections are refused.
    void stop();

    void setFaults(Faults faults);
    std::vector<Request> requests() const;
    int connectionsAccepted() const { return accepted_.load(); }
    // The body of the last ANNOUNCE, its a= attributes in order, and what its check found wrong (empty
    // when the offer was well formed).
    std::optional<std::string> announcedSdp() const;
    std::vector<std::pair<std::string, std::string>> announcedAttributes() const;
    std::vector<std::string> announceProblems() const;

    // The largest request the server reads; a client sending more is cut off.
    static constexpr std::size_t maxRequestSize = 1024 * 1024;

private:
    void acceptLoop();
    void serve(int fd);
    std::optional<Request> readRequest(int fd);
    std::string replyTo(const Request& request, const Faults& faults);
    void checkAnnounce(const Request& request);
    void writeReply(int fd, const std::string& reply, int pieces);

    const Config config_;
    mutable std::mutex mutex_;
    Faults faults_;
    std::vector<Request> requests_;
    std::optional<std::string> announcedSdp_;
    std::vector<std::pair<std::string, std::string>> announcedAttributes_;
    std::vector<std::string> announceProblems_;
    std::vector<std::thread> workers_;
    std::vector<int> openSockets_;

    int listenFd_ = -1;
    std::atomic<bool> running_{false};
    std::atomic<int> accepted_{0};
    std::thread acceptThread_;
};

} // namespace corvane::boxsim
