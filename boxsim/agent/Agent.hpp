#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace corvane::boxsim {

// The box agent of a simulated box: JSON over plain HTTP on port 47800 of a loopback address, with the
// endpoints the application uses (information, load, pairing, power, settings, diagnostics, updates,
// unpairing, clipboard, outbox, drops, links, wallpaper, display mode, cursor) behaving as a small
// believable box. Any endpoint's next replies can be scripted instead: a status with any body, a delay,
// a huge body. Every request is recorded.
//
// Paths are routed on the raw request target, one percent-decoded segment at a time, so an id holding an
// escaped "/" stays one segment. All public functions are thread-safe; stop() (and the destructor) wake any
// delayed reply and close the port before returning.
class Agent final {
public:
    struct Options {
        std::string address = "127.0.0.2";
        int port = 47800;
        // Called (on a server thread, before the reply) with the PIN of each accepted pairing request; the
        // box wires it to its streaming host's enterPin.
        std::function<void(std::string pin)> enterPin;
        std::string product = "Corvane Host";
        std::string agentVersion = "0.3.0";
        std::string boxName = "corvane-box";
        bool sharingAvailable = true;
        std::int64_t unpluggedSleepMinutes = 30;
        std::map<std::string, std::string> installed = {{"agent", "0.3.0"}, {"host", "1.0.0"}, {"gamepad", "2.0.0"}};
        // What the box offers to install, and the only components "v1/update" installs: none by default, as
        // a box with nothing newer than what it has; tests that need offers name them.
        std::map<std::string, std::string> available;
        std::size_t maxUploadBytes = std::size_t(64) << 20;
        std::size_t maxRecordedRequests = 4096;
        std::string dropDest = "C:\\Users\\corvane\\Desktop";  // the Windows folder drops land in
        // When set, each dropped file is streamed to <dropFolder>/<drop id>/<path> instead of kept in memory
        // (its entry in Drop::files stays empty), with no size limit.
        std::string dropFolder;
        // The hardware address its wake list names.
        std::string wakeMac = "02:00:00:00:00:01";
        // Called (on a server thread, before the reply) with each accepted power action, and after each
        // "v1/unpair-all", under the agent's lock; the box wires them to its power and its streaming host.
        std::function<void(std::string action)> onPower;
        std::function<void()> onUnpairAll;
        // Called (on a server thread, no lock held) once an update of "host" is done; the box restarts its
        // streaming host's ports, as installing it would.
        std::function<void()> hostUpdated;
    };

    // One scripted answer, used by the next `times` requests of its endpoint (0 or less: every one).
    struct Reply {
        int status = 200;
        std::string body;  // sent exactly as given
        std::string contentType = "application/json";
        double delaySeconds = 0;   // silence before the answer
        std::uint64_t hugeBytes = 0;  // when above 0: a body of this many bytes instead of `body`
        bool announceLength = true;   // a huge body with its length announced, or chunked without
        int times = 1;
        double secondsPerByte = 0;  // when above 0: `body` one byte at a time, this far apart
    };

    struct Seen {
        std::string method;
        std::string target;                 // as sent
        std::vector<std::string> segments;  // the path, each segment percent-decoded
        std::multimap<std::string, std::string> query;
        std::string body;
        std::string contentType;
        std::string userAgent;
        std::string endpoint;  // the matched key, or empty
    };

    struct OutboxFile {
        std::string path;
        std::string content;
        std::optional<std::int64_t> statedSize;  // what the list says; the content's size when absent
    };
    struct OutboxEntry {
        std::string id;
        std::vector<OutboxFile> files;
        std::optional<std::vector<std::string>> dirs;
        std::optional<std::int64_t> totalBytes;  // the sum of the stated sizes when absent
    };

    struct Drop {
        std::string id;
        std::vector<std::string> names;
        std::vector<std::string> dirs;
        std::map<std::string, std::string> files;  // relative path -> bytes
        bool finished = false;
    };

    struct Clipboard {
        std::uint32_t seq = 0;
        std::string type;  // "text", "png" or empty
        std::string text;
        std::string pngBase64;
        // When above 0: a text of this many "x" instead of `text`, streamed with "seq" as its last member and
        // never held whole.
        std::uint64_t longTextBytes = 0;
    };

    explicit Agent(Options options);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Binds address:port and serves; throws corvane::Error when the port cannot be bound.
    void start();
    void stop();

    // The endpoint keys: "GET /v1/info", "POST /v1/user/outbox/{id}/done", ...
    static const std::vector<std::string>& endpoints();
    // Queues a scripted answer for an endpoint key; throws std::invalid_argument for an unknown key.
    void script(const std::string& endpoint, Reply reply);
    void clearScripts();

    std::vector<Seen> seen() const;
    std::vector<Seen> seen(const std::string& endpoint) const;

    // The box's state, as tests and the demo set and read it.
    void addOutboxItem(OutboxEntry entry);
    // The content of that outbox file comes from a file on disk, streamed (its size, unless one is stated).
    void serveOutboxFileFrom(const std::string& id, const std::string& path, std::string sourceFile);
    std::vector<OutboxEntry> outbox() const;
    // Windows copies something: the sequence number grows.
    void setWindowsClipboardText(std::string text);
    // Any item as Windows would list it, odd ones included (unknown type, bad Base64, empty text); its
    // sequence number is the next one, which is returned.
    std::uint32_t setWindowsClipboard(Clipboard item);
    Clipboard clipboard() const;
    // As a box that ignores "since": every clipboard poll gets Windows's newest item, seen or not.
    void setClipboardIgnoresSince(bool ignores);
    std::vector<Drop> drops() const;
    std::vector<std::string> openedLinks() const;
    std::vector<std::string> powerActions() const;
    std::int64_t unpluggedSleepMinutes() const;
    std::vector<std::string> wallpaperReasons() const;
    std::vector<std::string> displayModeBodies() const;
    void setCursorVisible(bool visible);
    void setPairedClients(std::int64_t count);
    std::int64_t pairedClients() const;
    std::vector<std::string> pins() const;

    // Box software updates. One status the agent reports while a component installs.
    struct UpdateStep {
        std::string state = "running";  // "done" and "failed" end the run
        std::optional<std::string> message;
        double progress = 0;
        std::optional<std::string> version;
    };
    // How the agent comes back after replacing itself: its port closes as the update reports "done" and
    // stays closed for `closedSeconds` (or until comeBack()); then it answers with the new version, with its
    // old one, or the port stays closed.
    struct AgentRestart {
        enum class Outcome { newVersion, oldVersion, never };
        double closedSeconds = 3;
        Outcome outcome = Outcome::newVersion;
    };
    // What "v1/updates" reports, settable while the agent runs.
    void setUpdates(std::map<std::string, std::string> installed, std::map<std::string, std::string> available,
                    bool canUpdate);
    // The next update of `component` reports these steps, one per status request (the last one repeats).
    // A final "done" installs its version (or the offered one when it names none) and restarts what was
    // updated: the agent as setAgentRestart() says, the host through Options::hostUpdated.
    void scriptUpdateRun(const std::string& component, std::vector<UpdateStep> steps);
    void setAgentRestart(AgentRestart restart);
    // Ends the closed time of a restart now; returns once the port is open again (or, for one that never
    // comes back, once that is settled).
    void comeBack();

private:
    struct Answer;
    void handle(const httplib::Request& request, httplib::Response& response);
    bool streamDropFile(const httplib::Request& request, const std::function<bool(const std::function<bool(const char*, std::size_t)>&)>& read);
    Answer simulate(const std::string& endpoint, const std::vector<std::string>& segments,
                    const httplib::Request& request);
    bool waitOrStop(double seconds);
    void serve();  // under lifecycle_
    void closeForRestart();
    void reopen();
    void joinRestarts();

    Options options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::mutex lifecycle_;
    std::vector<std::thread> restarts_;  // under mutex_

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::map<std::string, std::deque<Reply>> scripts_;
    std::deque<Seen> seen_;
    std::vector<OutboxEntry> outbox_;
    std::map<std::pair<std::string, std::string>, std::string> outboxSources_;
    Clipboard clipboard_;
    bool clipboardIgnoresSince_ = false;
    std::vector<Drop> drops_;
    int nextDrop_ = 1;
    std::vector<std::string> links_;
    std::vector<std::string> powerActions_;
    std::vector<std::string> wallpaperReasons_;
    std::vector<std::string> displayModes_;
    std::vector<std::string> pins_;
    bool cursorVisible_ = true;
    std::int64_t pairedClients_ = 0;
    std::string agentVersion_;
    std::map<std::string, std::string> installed_;
    struct Update {
        std::string state = "idle";
        std::string component;
        std::string version;
        double progress = 0;
    } update_;
    std::chrono::steady_clock::time_point started_;
    bool canUpdate_ = true;
    std::map<std::string, std::deque<UpdateStep>> updateRuns_;
    std::deque<UpdateStep> currentRun_;
    bool scriptedRun_ = false;
    AgentRestart restart_;
    bool closed_ = false;          // the listening socket of server_ is closed
    bool comeBack_ = false;
    bool agentUpdated_ = false;    // the agent restarts once this reply is on its way
    bool hostUpdated_ = false;
    std::string versionBeforeRestart_;
};

} // namespace corvane::boxsim
