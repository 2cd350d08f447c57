#include "app/services/agent/AgentClient.hpp"

#include <algorithm>
#include <utility>

#include <QByteArrayView>
#include <QString>
#include <nlohmann/json.hpp>

#include "app/services/BoxEndpoint.hpp"
#include "app/services/agent/LongStringDropper.hpp"
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

// A clipboard reply too large to take is still read for its sequence number, with its long texts dropped:
// strings past this many bytes, and the whole of what is left past the cap.
constexpr std::size_t kLongestKeptString = 4u << 10;
constexpr std::size_t kMaxReplyWithoutLongStrings = 1u << 20;

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

// What one value of a parsed reply takes in memory beyond its text, in bytes, roughly: its slot in the
// parent with room to grow, and the block a string, array or object holds of its own; a member also holds
// a tree node.
constexpr std::size_t kScalarCost = 48;
constexpr std::size_t kStringCost = 96;
constexpr std::size_t kContainerCost = 112;
constexpr std::size_t kMemberCost = 96;

// Builds a reply's value the way the library's own parser does, but adds up what it builds: a reply of
// many tiny values ("[[],[],...]") costs dozens of bytes of memory per byte of text, so that cost, not
// only the size, is bounded. The depth is checked on the way in, so a deep value is never built either (its
// destruction or printing would recurse).
class BoundedBuilder final : public json::json_sax_t {
public:
    BoundedBuilder(json& root, std::size_t budget, const std::string* listKey = nullptr,
                   const AgentClient::ElementTaker* take = nullptr)
        : root_(root), budget_(budget), listKey_(listKey), take_(take) {}

    const std::string& failure() const { return failure_; }

    bool null() override { return add(nullptr, kScalarCost) != nullptr; }
    bool boolean(bool value) override { return add(value, kScalarCost) != nullptr; }
    bool number_integer(number_integer_t value) override { return add(value, kScalarCost) != nullptr; }
    bool number_unsigned(number_unsigned_t value) override { return add(value, kScalarCost) != nullptr; }
    bool number_float(number_float_t value, const string_t&) override { return add(value, kScalarCost) != nullptr; }
    bool string(string_t& value) override { return add(std::move(value), kStringCost) != nullptr; }
    bool binary(binary_t&) override { return fail("not JSON (binary)"); }
    bool start_object(std::size_t) override { return open(json::object()); }
    bool start_array(std::size_t) override { return open(json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        spent_ += kMemberCost + (name.size() > 15 ? name.size() : 0);
        if (spent_ > budget_) return fail("more values than a reply of its size holds");
        if (open_.size() == 1) {
            inListMember_ = listKey_ && name == *listKey_;
            // Its elements are gone once taken, so a second list of that name could not replace the first.
            if (inListMember_ && std::exchange(listSeen_, true)) return fail("\"" + name + "\" given twice");
        }
        // A repeated key keeps its last value, as the library's parser does.
        slot_ = &(*open_.back())[name];
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const json::exception& error) override {
        return fail(std::string("not JSON (") + error.what() + ")");
    }

private:
    bool fail(std::string why) {
        if (failure_.empty()) failure_ = std::move(why);
        return false;
    }

    // `cost`: roughly what the value takes beyond its text (its slot with room to grow, its own block).
    json* add(json value, std::size_t cost) {
        const bool element = inList();
        if (element) elementStart_ = spent_;
        spent_ += cost;
        if (spent_ > budget_) {
            fail("more values than a reply of its size holds");
            return nullptr;
        }
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        json& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            // A scalar element is whole at once (and fails its record).
            if (element && !parent.back().is_structured()) return takeElement() ? &parent : nullptr;
            return &parent.back();
        }
        *slot_ = std::move(value);
        return slot_;
    }

    bool open(json container) {
        if (open_.size() >= kMaxDepth) return fail("nested too deeply");
        json* made = add(std::move(container), kContainerCost);
        if (!made) return false;
        // The parent gains no element while this one is open, so the pointer stays valid.
        open_.push_back(made);
        return true;
    }

    bool close() {
        open_.pop_back();
        return !inList() || takeElement();
    }

    // The array being handed out element by element is open, directly below the top-level object.
    bool inList() const { return take_ && inListMember_ && open_.size() == 2 && open_[0]->is_object() && open_[1]->is_array(); }

    // The list's last element is whole: it goes to its taker and costs from now on what the taker says.
    bool takeElement() {
        auto& list = open_[1]->get_ref<json::array_t&>();
        const std::size_t kept = (*take_)(list.back(), taken_++);
        AgentClient::release(list.back());
        list.pop_back();
        spent_ = elementStart_ + kept;
        if (spent_ > budget_) return fail("more values than a reply of its size holds");
        return true;
    }

    json& root_;
    const std::size_t budget_;
    std::size_t spent_ = 0;
    std::vector<json*> open_;
    json* slot_ = nullptr;
    std::string failure_;
    const std::string* listKey_;
    const AgentClient::ElementTaker* take_;
    bool inListMember_ = false;
    bool listSeen_ = false;
    std::size_t taken_ = 0;
    std::size_t elementStart_ = 0;
};

} // namespace

AgentClient::AgentError::AgentError(int code, std::string message)
    : Error("Box answered " + std::to_string(code) + ": " + message), code(code), message(std::move(message)) {}

AgentClient::DecodeError::DecodeError(Kind kind, std::string path, const std::string& detail)
    : Error("The box's reply could not be read" + (path.empty() ? std::string() : " at \"" + path + "\"") + ": " +
            detail),
      kind(kind),
      path(std::move(path)) {}

AgentClient::AgentClient() : AgentClient(BoxEndpoint::address(), BoxEndpoint::agentPort) {}

AgentClient::AgentClient(std::string address, int port, Transport transport)
    : address_(std::move(address)), port_(port), transport_(std::move(transport)) {}

platform::HttpResponse AgentClient::perform(const HttpRequest& request, std::stop_token stop) const {
    return platform::Http::perform(transport_, request, std::move(stop));
}

std::string AgentClient::base() const { return "http://" + address_ + ":" + std::to_string(port_); }

HttpRequest AgentClient::url(const std::vector<std::string>& segments, const Query& query) const {
    HttpRequest request;
    request.host = address_;
    request.port = port_;
    request.pathEncoded = true;
    request.path.clear();
    for (const auto& part : segments) {
        checkName(part, "name");
        request.path += '/';
        request.path += platform::Http::escape(part);
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
    platform::HttpResponse response = perform(request, stop);
    if (response.status >= 200 && response.status <= 299) return std::move(response.body);
    throw AgentError(static_cast<int>(response.status), messageOf(response.body));
}

nlohmann::json AgentClient::parseJson(ByteView body, std::size_t budget) {
    static const ElementTaker none;
    return parseJson(body, budget, std::string(), none);
}

nlohmann::json AgentClient::parseJson(ByteView body, std::size_t budget, const std::string& listKey,
                                      const ElementTaker& take) {
    json root;
    BoundedBuilder builder(root, budget, take ? &listKey : nullptr, take ? &take : nullptr);
    bool parsed = false;
    try {
        parsed = json::sax_parse(body.begin(), body.end(), &builder);
    } catch (const json::exception& error) {
        throw DecodeError(DecodeError::Kind::dataCorrupted, "", std::string("not JSON (") + error.what() + ")");
    }
    if (!parsed) {
        release(root);
        throw DecodeError(DecodeError::Kind::dataCorrupted, "", builder.failure());
    }
    return root;
}

void AgentClient::release(nlohmann::json& value) {
    if (value.is_array()) {
        auto& items = value.get_ref<json::array_t&>();
        while (!items.empty()) {
            release(items.back());
            items.pop_back();
        }
    } else if (value.is_object()) {
        auto& members = value.get_ref<json::object_t&>();
        while (!members.empty()) {
            release(members.begin()->second);
            members.erase(members.begin());
        }
    }
    value = nullptr;
}

std::size_t AgentClient::listBudget(ByteView body) { return kFixedReplyBudget + 12 * body.size(); }

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
    // An item too large to take still has a sequence number: the body is read to its end with its long texts
    // dropped as they stream past, and what is left is parsed for it, so that the item can be passed over
    // instead of being asked for again and again.
    const auto tooLarge = [] {
        return platform::HttpError(platform::HttpError::Kind::tooLarge,
                                   "the reply is larger than " + std::to_string(kMaxClipboardReplyBytes) + " bytes");
    };
    bool headSeen = false;
    long status = 0;
    Bytes body;
    std::uint64_t received = 0;
    std::optional<LongStringDropper> dropper;
    const auto dropLongStrings = [&](ByteView piece) {
        if (!dropper->feed(piece)) throw tooLarge();
    };
    const auto passOver = [&] {
        if (status < 200 || status > 299) throw tooLarge();
        dropper.emplace(kLongestKeptString, kMaxReplyWithoutLongStrings);
        dropLongStrings(body);
        Bytes().swap(body);
    };
    platform::HttpReceiver receiver;
    receiver.onHead = [&](long code, std::optional<std::uint64_t> announced) {
        headSeen = true;
        status = code;
        if (announced && *announced > kMaxClipboardReplyBytes && status != 204) passOver();
    };
    receiver.onBody = [&](ByteView piece) {
        if (status == 204) return;  // nothing newer, whatever follows
        received += piece.size();
        if (!dropper && received > kMaxClipboardReplyBytes) passOver();
        if (dropper) dropLongStrings(piece);
        else body.insert(body.end(), piece.begin(), piece.end());
    };
    platform::HttpResponse response = platform::Http::perform(transport_, request, stop, &receiver);
    if (!headSeen) {  // a carrier that hands the body back whole
        receiver.onHead(response.status, std::nullopt);
        receiver.onBody(response.body);
    }
    if (dropper) {
        Clip clip;
        try {
            clip.seq = Clip::decode(dropper->text()).seq;
        } catch (const DecodeError&) {
            throw tooLarge();
        }
        clip.tooLarge = true;
        return clip;
    }
    // 204 first: it is also a 2xx.
    if (status == 204) return std::nullopt;
    if (status >= 200 && status <= 299) return Clip::decode(body);
    throw AgentError(static_cast<int>(status), textOf(body));
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
