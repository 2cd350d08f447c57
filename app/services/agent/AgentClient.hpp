#pragma once

#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"
#include "platform/http/Http.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace corvane {

// The application's client of the box agent's JSON API (plain HTTP on port 47800 of the box, paths under
// /v1/). A small immutable value: copy it freely and call it from any thread. Every endpoint is one blocking
// call that makes exactly one request, honours the stop token, never retries and keeps no state. The app
// calls these from coroutines through QtConcurrent.
//
// Failures: a transfer that fails (no route, refused, timed out, stopped) throws platform::HttpError
// unchanged; a status outside 200-299 throws AgentError; a 2xx reply that does not decode throws
// DecodeError; a request that may not be sent (an unsafe name or id) throws RequestError before anything
// goes out.
class AgentClient final {
public:
    // Reply records; defined in AgentReplies.hpp, which this header includes at its end.
    struct Info;
    struct WakeAdapter;
    struct BoxSettings;
    struct UpdateStatus;
    struct BoxUpdates;
    struct BoxStatus;
    struct Clip;
    struct DropStart;
    struct OutboxItem;

    // The agent answered outside 200-299 (code 0: the reply was not HTTP).
    class AgentError final : public Error {
    public:
        enum class Kind { http };
        AgentError(int code, std::string message);
        // 404 and 405 mean an agent too old for the request.
        bool endpointMissing() const { return code == 404 || code == 405; }
        Kind kind = Kind::http;
        int code = 0;
        std::string message;
    };

    // A reply that does not fit its record. `path` names the place in the reply ("wake[0].mac").
    class DecodeError final : public Error {
    public:
        enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };
        DecodeError(Kind kind, std::string path, const std::string& detail);
        Kind kind;
        std::string path;
    };

    // A request refused before sending: a name or id that is empty, "." or "..", or holds NUL or another
    // control character; or a JSON body that cannot be written (text that is not UTF-8).
    class RequestError final : public Error {
    public:
        enum class Kind { unsafeName, notEncodable };
        RequestError(Kind kind, std::string description) : Error(std::move(description)), kind(kind) {}
        Kind kind;
    };

    using Query = std::vector<std::pair<std::string, std::string>>;

    // Time-outs in seconds: how long a silent request waits. The whole of any request is bounded by
    // kWholeRequestSeconds.
    static constexpr double kWholeRequestSeconds = 120;
    // Reply bodies are refused past these sizes (announced or received); the clipboard may carry a picture.
    static constexpr std::size_t kMaxReplyBytes = 16u << 20;
    static constexpr std::size_t kMaxClipboardReplyBytes = 128u << 20;

    // What carries a request: platform::Http::perform unless a test gives its own.
    using Transport = platform::Http::Transport;

    // The box from BoxEndpoint: http://10.77.0.1:47800, or the loopback override.
    AgentClient();
    // An agent at another address (tests, the simulated box), or behind another transport.
    AgentClient(std::string address, int port, Transport transport = {});

    // "http://<address>:<port>", no trailing slash.
    std::string base() const;
    const std::string& address() const { return address_; }
    // What carries this client's requests; transfers to and from the agent go the same way.
    const Transport& transport() const { return transport_; }
    int port() const { return port_; }

    // A GET request for base + "/" + the segments. Each segment is one path segment: a "/" inside it is
    // escaped, never a separator. Query names and values arrive unchanged ("+", ";", "&", "=" escaped).
    // Throws RequestError for an empty, "." or ".." segment and for NUL or control characters anywhere.
    platform::HttpRequest url(const std::vector<std::string>& segments, const Query& query = {}) const;
    // The same below "v1/user/": userURL({"drop", id, "dir"}, {{"path", folder}}).
    platform::HttpRequest userURL(const std::vector<std::string>& segments, const Query& query = {}) const;

    // Sends a prepared request with `timeout` as its silence limit and returns the body of a 2xx reply.
    Bytes send(platform::HttpRequest request, double timeout, std::stop_token stop = {}) const;

    Info info(std::stop_token stop = {}) const;
    bool pair(const std::string& pin, const std::string& name, bool toHost, std::stop_token stop = {}) const;
    BoxUpdates checkUpdates(bool force, std::stop_token stop = {}) const;
    void startUpdate(const std::string& component, std::stop_token stop = {}) const;
    void setUnpluggedSleep(std::int64_t minutes, std::stop_token stop = {}) const;
    std::string diagnostics(std::stop_token stop = {}) const;
    BoxStatus status(std::stop_token stop = {}) const;
    void power(const std::string& action, std::stop_token stop = {}) const;
    DropStart dropBegin(const std::vector<std::string>& names, std::stop_token stop = {}) const;
    void dropFinish(const std::string& id, std::stop_token stop = {}) const;
    void openURL(const std::string& link, std::stop_token stop = {}) const;
    // Nothing when the Windows clipboard has not changed since `since`.
    std::optional<Clip> clipboard(std::uint32_t since, std::stop_token stop = {}) const;
    // With both, only the picture is sent.
    std::uint32_t setClipboard(const std::optional<std::string>& text, const std::optional<Bytes>& png,
                               std::stop_token stop = {}) const;
    std::vector<OutboxItem> outbox(std::stop_token stop = {}) const;
    void outboxDone(const std::string& id, std::stop_token stop = {}) const;

    // The message of a refusal: the "error" text of a JSON object, else the whole body as UTF-8 with
    // invalid sequences replaced.
    static std::string messageOf(ByteView body);
    // The body as UTF-8 text, invalid sequences replaced by U+FFFD.
    static std::string textOf(ByteView body);
    // Loose readers of the pairing and clipboard-set replies: a body that is no JSON throws DecodeError;
    // any other odd reply gives false or 0.
    static bool pairedOf(ByteView body);
    static std::uint32_t seqOf(ByteView body);
    // The memory, in bytes beyond its text, that the parsed value of a reply of fixed shape may take (the
    // reply records hold a few dozen values; lists may take more, see listBudget).
    static constexpr std::size_t kFixedReplyBudget = 256u << 10;
    // Parses a reply, refusing bodies nested deeper than 64 levels or whose parsed value would take more than
    // `budget` bytes beyond its text, so that no reply costs more than a small multiple of its size; throws
    // DecodeError (dataCorrupted).
    static nlohmann::json parseJson(ByteView body, std::size_t budget = kFixedReplyBudget);
    // The same for a reply whose top-level member `listKey` is a long array: each element of that array is
    // handed to `take` as soon as it is whole, then freed and removed from the array, so the list is never
    // held in parsed form at once. `take` returns what the element costs in its place from then on (the
    // record it became); that counts against the budget instead. Errors thrown by `take` come out unchanged.
    using ElementTaker = std::function<std::size_t(const nlohmann::json& element, std::size_t index)>;
    static nlohmann::json parseJson(ByteView body, std::size_t budget, const std::string& listKey,
                                    const ElementTaker& take);
    // Frees a parsed reply from the leaves up. The library's own destruction of a long array first moves
    // all its elements into a second, growing array, which can double the memory the reply took; values
    // made by parseJson are never deeper than 64 levels, so freeing them one by one recurses little.
    static void release(nlohmann::json& value);
    // The budget of a reply that carries lists (outbox, drop names): the fixed one and 12 bytes per byte.
    static std::size_t listBudget(ByteView body);

private:
    platform::HttpRequest post(const std::vector<std::string>& segments, const nlohmann::json* body,
                               const Query& query = {}) const;

    platform::HttpResponse perform(const platform::HttpRequest& request, std::stop_token stop) const;

    std::string address_;
    int port_ = 47800;
    Transport transport_;
};

} // namespace corvane

#include "app/services/agent/AgentReplies.hpp"
