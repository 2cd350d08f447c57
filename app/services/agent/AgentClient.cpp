#include "app/services/agent/AgentClient.hpp"

#include <algorithm>
#include <utility>

#include <QByteArrayView>
#include <QString>
#include <nlohmann/json.hpp>

#include "app/services/BoxEndpoint.hpp"
#include "platform/crypto/Crypto.hpp"

namespace corvane {
namespace {

using json = nlohmann::json;
using platform::HttpRequest;

// Time-outs of the endpoints, seconds of silence.
constexpr double kInfo = 3;
constexpr double kPair = 90;
constexpr double kUpdates = 45;
constexpr double kStartUpdate = 10;
constexpr double kSettings = 10;
constexpr double kDiagnostics = 15;
constexpr double kStatus = 4;
constexpr double kPower = 15;
constexpr double kDropBegin = 20;
constexpr double kDropFinish = 15;
constexpr double kOpenUrl = 15;
constexpr double kClipboard = 10;
constexpr double kSetClipboard = 30;
constexpr double kOutbox = 10;
constexpr double kOutboxDone = 15;

constexpr std::size_t kMaxDepth = 64;

bool hasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string shown(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            static constexpr char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

void checkName(std::string_view name, const char* what) {
    if (name.empty() || name == "." || name == ".." || hasControl(name))
        throw AgentClient::RequestError(AgentClient::RequestError::Kind::unsafeName,
                                        std::string("Refused an unsafe ") + what + ": \"" + shown(name) + "\"");
}

Bytes written(const json& body) {
    try {
        return bytesOf(body.dump());
    } catch (const json::exception& error) {
        throw AgentClient::RequestError(AgentClient::RequestError::Kind::notEncodable,
                                        std::string("The request could not be written: ") + error.what());
    }
}

} // namespace

AgentClient::AgentError::AgentError(int code, std::string message)
    : Error("Box answered " + std::to_string(code) + ": " + message), code(code), message(std::move(message)) {}

AgentClient::DecodeError::DecodeError(Kind kind, std::string path, const std::string& detail)
    : Error("The box's reply could not be read" + (path.empty() ? std::string() : " at \"" + path + "\"") + ": " +
            detail),
      kind(kind),
      path(std::move(path)) {}

AgentClient::AgentClient() : AgentClient(BoxEndpoint::address(), BoxEndpoint::agentPort) {}

AgentClient::AgentClient(std::string address, int port) : address_(std::move(address)), port_(port) {}

std::string AgentClient::base() const { return "http://" + address_ + ":" + std::to_string(port_); }

HttpRequest AgentClient::url(const std::vector<std::string>& segments, const Query& query) const {
    HttpRequest request;
    request.host = address_;
    request.port = port_;
    request.pathEncoded = true;
    request.path.clear();
    for (const auto& part : segments) {
        checkName(part, "name");
        request.path += "/" + platform::Http::escape(part);
    }
    if (request.path.empty()) request.path = "/";
    for (const auto& [name, value] : query) {
        if (name.empty() || hasControl(name) || hasControl(value))
            throw RequestError(RequestError::Kind::unsafeName,
                               "Refused an unsafe query: \"" + shown(name) + "\" = \"" + shown(value) + "\"");
    }
    // The HTTP layer escapes every character of a query but the unreserved ones, so "+", ";", "&", "="
    // and "#" reach the agent as themselves.
    request.query = query;
    return request;
}

HttpRequest AgentClient::userURL(const std::vector<std::string>& segments, const Query& query) const {
    std::vector<std::string> all{"v1", "user"};
    all.insert(all.end(), segments.begin(), segments.end());
    return url(all, query);
}

HttpRequest AgentClient::post(const std::vector<std::string>& segments, const json* body, const Query& query) const {
    HttpRequest request = url(segments, query);
    request.method = "POST";
    if (body) {
        request.body = written(*body);
        request.headers.emplace_back("Content-Type", "application/json");
    }
    return request;
}

Bytes AgentClient::send(HttpRequest request, double timeout, std::stop_token stop) const {
    request.idleTimeoutSeconds = timeout;
    request.timeoutSeconds = kWholeRequestSeconds;
    request.maxBodyBytes = kMaxReplyBytes;
    platform::HttpResponse response = platform::Http::perform(request, stop);
    if (response.status >= 200 && response.status <= 299) return std::move(response.body);
    throw AgentError(static_cast<int>(response.status), messageOf(response.body));
}

nlohmann::json AgentClient::parseJson(ByteView body) {
    // The depth is checked as the parser goes, so a hostile reply of nested brackets never builds a
    // deep value (whose destruction or printing would recurse).
    const json::parser_callback_t depthCheck = [](int depth, json::parse_event_t, json&) {
        if (static_cast<std::size_t>(depth) > kMaxDepth)
            throw DecodeError(DecodeError::Kind::dataCorrupted, "", "nested too deeply");
        return true;
    };
    try {
        return json::parse(body.begin(), body.end(), depthCheck);
    } catch (const json::exception& error) {
        throw DecodeError(DecodeError::Kind::dataCorrupted, "", std::string("not JSON (") + error.what() + ")");
    }
}

std::string AgentClient::textOf(ByteView body) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(body.data()), static_cast<qsizetype>(body.size()));
    return QString::fromUtf8(bytes).toStdString();
}

std::string AgentClient::messageOf(ByteView body) {
    try {
        const json value = parseJson(body);
        if (value.is_object()) {
            const auto found = value.find("error");
            if (found != value.end() && found->is_string()) return found->get<std::string>();
        }
    } catch (const DecodeError&) {
    }
    return textOf(body);
}

bool AgentClient::pairedOf(ByteView body) {
    const json value = parseJson(body);
    if (!value.is_object()) return false;
    const auto found = value.find("paired");
    return found != value.end() && found->is_boolean() && found->get<bool>();
}

std::uint32_t AgentClient::seqOf(ByteView body) {
    const json value = parseJson(body);
    if (!value.is_object()) return 0;
    const auto found = value.find("seq");
    if (found == value.end() || !found->is_number()) return 0;
    if (found->is_number_unsigned()) {
        const auto n = found->get<std::uint64_t>();
        return n <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(n) : 0;
    }
    if (found->is_number_integer()) return 0;  // negative
    const double d = found->get<double>();
    return (d >= 0 && d <= 4294967295.0 && d == static_cast<double>(static_cast<std::uint32_t>(d)))
               ? static_cast<std::uint32_t>(d)
               : 0;
}

AgentClient::Info AgentClient::info(std::stop_token stop) const {
    return Info::decode(send(url({"v1", "info"}), kInfo, stop));
}

bool AgentClient::pair(const std::string& pin, const std::string& name, bool toHost, std::stop_token stop) const {
    json body = {{"pin", pin}, {"name", name}};
    if (toHost) body["target"] = "host";
    return pairedOf(send(post({"v1", "pair"}, &body), kPair, stop));
}

AgentClient::BoxUpdates AgentClient::checkUpdates(bool force, std::stop_token stop) const {
    const Query query = force ? Query{{"force", "1"}} : Query{};
    return BoxUpdates::decode(send(url({"v1", "updates"}, query), kUpdates, stop));
}

void AgentClient::startUpdate(const std::string& component, std::stop_token stop) const {
    const json body = {{"component", component}};
    send(post({"v1", "update"}, &body), kStartUpdate, stop);
}

void AgentClient::setUnpluggedSleep(std::int64_t minutes, std::stop_token stop) const {
    const json body = {{"unplugged_sleep_minutes", minutes}};
    send(post({"v1", "settings"}, &body), kSettings, stop);
}

std::string AgentClient::diagnostics(std::stop_token stop) const {
    return textOf(send(url({"v1", "diagnostics"}), kDiagnostics, stop));
}

AgentClient::BoxStatus AgentClient::status(std::stop_token stop) const {
    return BoxStatus::decode(send(url({"v1", "status"}), kStatus, stop));
}

void AgentClient::power(const std::string& action, std::stop_token stop) const {
    send(post({"v1", "power", action}, nullptr), kPower, stop);
}

AgentClient::DropStart AgentClient::dropBegin(const std::vector<std::string>& names, std::stop_token stop) const {
    for (const auto& name : names) checkName(name, "name");
    const json body = {{"names", names}};
    return DropStart::decode(send(post({"v1", "user", "drop"}, &body), kDropBegin, stop));
}

void AgentClient::dropFinish(const std::string& id, std::stop_token stop) const {
    const json body = json::object();
    send(post({"v1", "user", "drop", id, "finish"}, &body), kDropFinish, stop);
}

void AgentClient::openURL(const std::string& link, std::stop_token stop) const {
    const json body = {{"url", link}};
    send(post({"v1", "user", "open-url"}, &body), kOpenUrl, stop);
}

std::optional<AgentClient::Clip> AgentClient::clipboard(std::uint32_t since, std::stop_token stop) const {
    HttpRequest request = userURL({"clipboard"}, {{"since", std::to_string(since)}});
    request.idleTimeoutSeconds = kClipboard;
    request.timeoutSeconds = kWholeRequestSeconds;
    request.maxBodyBytes = kMaxClipboardReplyBytes;
    const platform::HttpResponse response = platform::Http::perform(request, stop);
    // 204 first: it is also a 2xx.
    if (response.status == 204) return std::nullopt;
    if (response.status >= 200 && response.status <= 299) return Clip::decode(response.body);
    throw AgentError(static_cast<int>(response.status), textOf(response.body));
}

std::uint32_t AgentClient::setClipboard(const std::optional<std::string>& text, const std::optional<Bytes>& png,
                                        std::stop_token stop) const {
    json body = json::object();
    if (text) body = {{"type", "text"}, {"text", *text}};
    if (png) body = {{"type", "png"}, {"png", platform::Crypto::base64Encode(*png)}};
    return seqOf(send(post({"v1", "user", "clipboard"}, &body), kSetClipboard, stop));
}

std::vector<AgentClient::OutboxItem> AgentClient::outbox(std::stop_token stop) const {
    return OutboxItem::decodeList(send(url({"v1", "user", "outbox"}), kOutbox, stop));
}

void AgentClient::outboxDone(const std::string& id, std::stop_token stop) const {
    const json body = json::object();
    send(post({"v1", "user", "outbox", id, "done"}, &body), kOutboxDone, stop);
}

} // namespace corvane
