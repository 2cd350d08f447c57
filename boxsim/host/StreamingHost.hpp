#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <openssl/ssl.h>

#include "boxsim/host/BoxCrypto.hpp"
#include "platform/core/Bytes.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace corvane::boxsim {

// The streaming host of a simulated box on a loopback address: the public HTTP interface, the plain-HTTP
// pairing port and the HTTPS port that asks for the client certificate, with XML replies and the box side
// of PIN pairing. It has its own RSA-2048 key and self-signed certificate, made when it is constructed.
//
// Test equipment: every request is recorded, faults can be scripted per request, and the PIN is entered
// with enterPin() as the user at the box would. All public functions are thread-safe; the server threads
// and the callers share one mutex. stop() (and the destructor) close every port before returning.
class StreamingHost final {
public:
    using QueryItems = std::vector<std::pair<std::string, std::string>>;

    struct App {
        std::int64_t id = 0;
        std::string title;
        bool hdrSupported = false;
    };

    struct Options {
        std::string address = "127.0.0.2";
        int httpPort = 48089;     // public interface
        int pairingPort = 47989;  // plain HTTP as well, the same handlers
        int httpsPort = 47984;
        std::string hostname = "corvane-box";
        std::string uniqueId;  // random hexadecimal when empty
        std::string appVersion = "7.1.431.-1";
        // Reported as "state"; empty: "SERVER_FREE", or "SERVER_BUSY" while an app runs.
        std::string state;
        std::vector<App> apps = {App{881448767, "Desktop", false}};
        // Ports reported in /serverinfo as "HttpsPort" and "ExternalPort"; none leaves the element out.
        std::optional<int> reportedHttpsPort = 47984;
        std::optional<int> reportedExternalPort = 47989;
        std::int64_t codecModeSupport = 0x301;
        std::int64_t maxLumaPixelsHEVC = 3840 * 2160;
        // "sessionUrl0" of launch and resume replies; empty: "rtsp://<address>:48010".
        std::string sessionUrl;
        // How long pairing's first step waits for the PIN, and how long an early PIN stays valid.
        double pinWaitSeconds = 60;
        std::size_t maxRecordedRequests = 4096;
        // Told of each accepted launch or resume with the session key and its id, on the server thread
        // before the reply goes out, so a box can ready its control server for that key.
        std::function<void(const Bytes& key, std::int32_t keyId, bool resume)> onLaunch;
        // Told of each cancel, on the server thread before the reply goes out.
        std::function<void()> onCancel;
        // The application already running when the host starts (0: none).
        std::int64_t runningApp = 0;
        // Launch and resume requests whose mode asks for one of these sizes are refused ("WxH").
        std::vector<std::string> refusedSizes;
    };

    // One scripted fault; a request fires at most one, the first added that matches. It fires on the next
    // GET request(s) matching `path` (empty: any) and, for "/pair",
    // `step` (the step's phrase or item name, "getservercert" ... "pairchallenge"; empty: any step). It
    // fires `times` times (0 or less: on every matching request), first waiting `delaySeconds`; then:
    // - `malformedXml`: a body that is not well-formed XML, with HTTP status `httpStatus` or 200;
    // - else `statusCode`: <root status_code=.. status_message=..>, with `httpStatus` or 200;
    // - else `httpStatus`: that status with an HTML error page that is not well-formed XML;
    // - else the request is served normally, changed by the flags: `notPaired` ("paired" 0 at a pairing
    //   step, "PairStatus" 0 in /serverinfo), `wrongPin` (the box derives its key from another PIN; applies
    //   at "getservercert"), `badSignature` (the box's secret signature is corrupted; applies at
    //   "serverchallengeresp"), `emptySessionUrl` (launch and resume reply an empty "sessionUrl0").
    struct Fault {
        std::string path;
        std::string step;
        int httpStatus = 0;
        double delaySeconds = 0;
        bool malformedXml = false;
        std::optional<int> statusCode;
        std::string statusMessage;
        bool notPaired = false;
        bool wrongPin = false;
        bool badSignature = false;
        bool emptySessionUrl = false;
        int times = 1;
    };

    struct ReceivedRequest {
        std::string method;
        std::string path;         // decoded
        QueryItems query;         // in the order sent, names and values percent-decoded
        bool secure = false;
        int port = 0;             // the local port it arrived on
        Bytes clientCertificateDER;  // empty when none was presented
        std::string requestLine;  // e.g. "GET /serverinfo?uniqueid=0 HTTP/1.1"
        std::string target;       // the raw request target

        // The value of the first query item with this name.
        std::optional<std::string> item(std::string_view name) const;
    };

    struct PairedClient {
        std::string uniqueId;
        std::string deviceName;
        Bytes certificateDER;
    };

    StreamingHost();
    explicit StreamingHost(Options options);
    ~StreamingHost();
    StreamingHost(const StreamingHost&) = delete;
    StreamingHost& operator=(const StreamingHost&) = delete;

    // Binds and serves all three ports; throws corvane::Error naming the port when one cannot be bound
    // (nothing stays open then). Calling it while running does nothing.
    void start();
    // Closes every port, wakes requests waiting for a PIN or a scripted delay, and returns when all server
    // threads have ended. State (paired clients, records, faults) is kept; start() may be called again.
    void stop();
    bool running() const;

    const Options& options() const { return options_; }
    const std::string& uniqueId() const { return options_.uniqueId; }
    std::string sessionUrl() const;

    // As the user at the box: the PIN for the pairing now waiting, or for one that starts shortly after.
    void enterPin(std::string pin);

    Bytes certificateDER() const { return certificateDER_; }
    std::string certificatePEM() const { return certificatePEM_; }

    std::vector<PairedClient> pairedClients() const;
    // Pairs a client certificate directly, without the protocol (for tests of later steps).
    void addPairedClient(PairedClient client);
    bool isPaired(ByteView certificateDER) const;
    // Forgets every paired client, as the box does when asked to unpair all. A client it forgot is answered
    // over HTTPS as one it never knew: "PairStatus" 0, its paired requests refused.
    void forgetClients();

    std::vector<ReceivedRequest> requests() const;
    std::optional<ReceivedRequest> lastRequest(std::string_view path) const;
    void clearRequests();
    // TLS handshakes refused because the client certificate was not acceptable.
    std::size_t refusedHandshakes() const;

    std::int64_t currentGame() const;

    void addFault(Fault fault);
    void clearFaults();
    std::size_t pendingFaults() const;

private:
    struct Reply {
        int httpStatus = 200;
        std::string body;
        std::string contentType = "application/xml";
    };
    struct PairingRun {
        enum class Stage { challenge, challengeResponse, secret, confirm };
        std::string uniqueId;
        std::string deviceName;
        Bytes clientCertificateDER;
        Bytes clientSignatureBits;
        Bytes key;
        Bytes boxSecret;
        Bytes serverChallenge;
        Bytes clientHash;
        Stage stage = Stage::challenge;
    };
    struct Server;

    static int verifyClientCertificate(int preverified, X509_STORE_CTX* store);
    bool acceptsClientCertificate(ByteView der);

    void serve(const httplib::Request& request, httplib::Response& response, bool secure);
    Reply dispatch(const ReceivedRequest& request, const Fault& fault);
    Reply serverInfo(const ReceivedRequest& request, const Fault& fault);
    Reply appList(const ReceivedRequest& request);
    Reply launch(const ReceivedRequest& request, const Fault& fault, bool resume);
    Reply cancel(const ReceivedRequest& request);
    Reply unpair(const ReceivedRequest& request);
    Reply pair(const ReceivedRequest& request, const Fault& fault);
    Reply pairGetServerCert(const ReceivedRequest& request, const Fault& fault);
    Reply pairClientChallenge(const ReceivedRequest& request, const Fault& fault);
    Reply pairServerChallengeResponse(const ReceivedRequest& request, const Fault& fault);
    Reply pairClientPairingSecret(const ReceivedRequest& request, const Fault& fault);
    Reply pairChallenge(const ReceivedRequest& request, const Fault& fault);
    static Reply notPairedReply();

    // Both need mutex_ held.
    bool isPairedLocked(ByteView certificateDER) const;
    std::optional<Fault> takeFaultLocked(const std::string& path, const std::string& step);
    // Waits until the time passed or stop() was called; false when stopped.
    bool sleepUnlessStopped(double seconds);

    Options options_;
    BoxCrypto::PKeyPtr key_;
    BoxCrypto::X509Ptr certificate_;
    Bytes certificateDER_;
    std::string certificatePEM_;
    Bytes certificateSignatureBits_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a PIN was entered or stop() was called
    bool stopping_ = false;
    std::optional<std::pair<std::string, std::chrono::steady_clock::time_point>> pin_;
    std::optional<PairingRun> pairing_;
    std::vector<PairedClient> paired_;
    std::deque<ReceivedRequest> requests_;
    std::vector<Fault> faults_;
    std::int64_t currentGame_ = 0;
    std::size_t refusedHandshakes_ = 0;

    // Serialises start() and stop(); never taken by the server threads, so stop() can join them.
    mutable std::mutex lifecycle_;
    std::vector<std::unique_ptr<Server>> servers_;
};

} // namespace corvane::boxsim
