#include "boxsim/host/StreamingHost.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <regex>
#include <stdexcept>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/core/Error.hpp"
#include "platform/log/SystemLog.hpp"

namespace corvane::boxsim {

namespace {

constexpr std::size_t kMaxPayload = 64 * 1024;
constexpr char kNotAuthorized[] = "The client is not authorized. Certificate verification failed.";

void log(std::string_view line) { platform::SystemLog::write("boxsim", line); }

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string element(std::string_view name, std::string_view value) {
    return "<" + std::string(name) + ">" + escape(value) + "</" + std::string(name) + ">";
}

std::string document(int statusCode, std::string_view message, std::string_view inner) {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<root status_code=\"" +
                       std::to_string(statusCode) + "\"";
    if (!message.empty()) body += " status_message=\"" + escape(message) + "\"";
    if (inner.empty()) return body + "/>\n";
    return body + ">" + std::string(inner) + "</root>\n";
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

StreamingHost::QueryItems parseQuery(const std::string& target) {
    StreamingHost::QueryItems items;
    const auto mark = target.find('?');
    if (mark == std::string::npos) return items;
    std::string_view rest(target);
    rest.remove_prefix(mark + 1);
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
        if (piece.empty()) continue;
        const auto eq = piece.find('=');
        // '+' stays a plus: clients percent-encode blanks in the query.
        std::string name = httplib::detail::decode_url(std::string(piece.substr(0, eq)), false);
        std::string value =
            eq == std::string_view::npos ? std::string{} : httplib::detail::decode_url(std::string(piece.substr(eq + 1)), false);
        items.emplace_back(std::move(name), std::move(value));
    }
    return items;
}

// The step of a "/pair" request, named after what it sends; empty when it is none of the five.
std::string pairStep(const StreamingHost::ReceivedRequest& request) {
    if (auto phrase = request.item("phrase")) {
        if (*phrase == "getservercert" || *phrase == "pairchallenge") return *phrase;
        return {};
    }
    for (const char* name : {"clientchallenge", "serverchallengeresp", "clientpairingsecret"})
        if (request.item(name)) return name;
    return {};
}

std::string otherPin(const std::string& pin) {
    std::string other = pin;
    for (char& c : other)
        if (c >= '0' && c <= '9') c = static_cast<char>('0' + (c - '0' + 1) % 10);
    if (other == pin) other += "0";
    return other;
}

} // namespace

struct StreamingHost::Server {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

std::optional<std::string> StreamingHost::ReceivedRequest::item(std::string_view name) const {
    for (const auto& [itemName, value] : query)
        if (itemName == name) return value;
    return std::nullopt;
}

StreamingHost::StreamingHost() : StreamingHost(Options{}) {}

StreamingHost::StreamingHost(Options options) : options_(std::move(options)) {
    if (options_.uniqueId.empty()) options_.uniqueId = BoxCrypto::hex(BoxCrypto::randomBytes(8));
    key_ = BoxCrypto::generateKey();
    certificate_ = BoxCrypto::selfSignedCertificate(key_.get(), "Corvane Box " + options_.hostname);
    certificateDER_ = BoxCrypto::derOf(certificate_.get());
    certificatePEM_ = BoxCrypto::pemOf(certificate_.get());
    certificateSignatureBits_ = BoxCrypto::signatureBits(certificate_.get());
    currentGame_ = options_.runningApp;
}

StreamingHost::~StreamingHost() { stop(); }

std::string StreamingHost::sessionUrl() const {
    return options_.sessionUrl.empty() ? "rtsp://" + options_.address + ":48010" : options_.sessionUrl;
}

void StreamingHost::start() {
    std::lock_guard life(lifecycle_);
    if (!servers_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    struct Port {
        int number;
        bool secure;
    };
    const Port ports[] = {{options_.httpPort, false}, {options_.pairingPort, false}, {options_.httpsPort, true}};
    try {
        for (const Port& port : ports) {
            std::unique_ptr<httplib::Server> server;
            if (port.secure) {
                server = std::make_unique<httplib::SSLServer>([this](SSL_CTX& ctx) {
                    // Every handshake asks for the client certificate and judges it afresh: no session
                    // resumption, so a certificate refused later is never let in by an old session.
                    return SSL_CTX_use_certificate(&ctx, certificate_.get()) == 1 &&
                           SSL_CTX_use_PrivateKey(&ctx, key_.get()) == 1 &&
                           SSL_CTX_check_private_key(&ctx) == 1 &&
                           SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION) == 1 &&
                           SSL_CTX_set_app_data(&ctx, this) == 1 &&
                           SSL_CTX_set_num_tickets(&ctx, 0) == 1 &&
                           (SSL_CTX_set_session_cache_mode(&ctx, SSL_SESS_CACHE_OFF), true) &&
                           (SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER, &StreamingHost::verifyClientCertificate), true);
                });
            } else {
                server = std::make_unique<httplib::Server>();
            }
            if (!server->is_valid()) throw Error("boxsim: could not set up TLS for port " + std::to_string(port.number));
            // SO_REUSEADDR alone: a stopped box's port can be bound again at once, yet two running boxes
            // never share one (SO_REUSEPORT would let them).
            server->set_socket_options([](socket_t sock) {
                int yes = 1;
                setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            });
            server->set_payload_max_length(kMaxPayload);
            server->set_read_timeout(5);
            server->set_write_timeout(5);
            server->set_keep_alive_timeout(1);
            const bool secure = port.secure;
            // Every request is answered here, before routing: no pattern ever runs over a hostile path.
            server->set_pre_routing_handler([this, secure](const httplib::Request& request, httplib::Response& response) {
                serve(request, response, secure);
                return httplib::Server::HandlerResponse::Handled;
            });
            server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
                response.status = 500;
                response.set_content(document(500, "Internal error", {}), "application/xml");
            });
            if (!server->bind_to_port(options_.address, port.number))
                throw Error("boxsim: cannot bind " + options_.address + ":" + std::to_string(port.number));
            auto entry = std::make_unique<Server>();
            entry->server = std::move(server);
            httplib::Server* raw = entry->server.get();
            entry->thread = std::thread([raw] { raw->listen_after_bind(); });
            servers_.push_back(std::move(entry));
            // stop() can only end a server whose loop has begun.
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (!raw->is_running() && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    } catch (...) {
        for (auto& entry : servers_) entry->server->stop();
        for (auto& entry : servers_) entry->thread.join();
        servers_.clear();
        throw;
    }
    log("host: " + options_.hostname + " serving " + options_.address + " (uniqueid " + options_.uniqueId + ")");
}

void StreamingHost::stop() {
    std::lock_guard life(lifecycle_);
    if (servers_.empty()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& entry : servers_) entry->server->stop();
    for (auto& entry : servers_) entry->thread.join();
    servers_.clear();
    log("host: stopped " + options_.address);
}

bool StreamingHost::running() const {
    std::lock_guard life(lifecycle_);
    return !servers_.empty();
}

void StreamingHost::enterPin(std::string pin) {
    {
        std::lock_guard lock(mutex_);
        pin_ = std::make_pair(std::move(pin), std::chrono::steady_clock::now());
    }
    changed_.notify_all();
}

std::vector<StreamingHost::PairedClient> StreamingHost::pairedClients() const {
    std::lock_guard lock(mutex_);
    return paired_;
}

void StreamingHost::addPairedClient(PairedClient client) {
    std::lock_guard lock(mutex_);
    std::erase_if(paired_, [&](const PairedClient& c) { return c.certificateDER == client.certificateDER; });
    paired_.push_back(std::move(client));
}

bool StreamingHost::isPaired(ByteView certificateDER) const {
    std::lock_guard lock(mutex_);
    return isPairedLocked(certificateDER);
}

void StreamingHost::forgetClients() {
    std::lock_guard lock(mutex_);
    paired_.clear();
}

bool StreamingHost::isPairedLocked(ByteView certificateDER) const {
    if (certificateDER.empty()) return false;
    return std::any_of(paired_.begin(), paired_.end(), [&](const PairedClient& c) {
        return std::equal(c.certificateDER.begin(), c.certificateDER.end(), certificateDER.begin(), certificateDER.end());
    });
}

std::vector<StreamingHost::ReceivedRequest> StreamingHost::requests() const {
    std::lock_guard lock(mutex_);
    return {requests_.begin(), requests_.end()};
}

std::optional<StreamingHost::ReceivedRequest> StreamingHost::lastRequest(std::string_view path) const {
    std::lock_guard lock(mutex_);
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if (it->path == path) return *it;
    return std::nullopt;
}

void StreamingHost::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::size_t StreamingHost::refusedHandshakes() const {
    std::lock_guard lock(mutex_);
    return refusedHandshakes_;
}

std::int64_t StreamingHost::currentGame() const {
    std::lock_guard lock(mutex_);
    return currentGame_;
}

void StreamingHost::addFault(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void StreamingHost::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::size_t StreamingHost::pendingFaults() const {
    std::lock_guard lock(mutex_);
    return faults_.size();
}

std::optional<StreamingHost::Fault> StreamingHost::takeFaultLocked(const std::string& path, const std::string& step) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        std::string faultPath = it->path;
        std::string faultStep = it->step;
        // The key and signature faults act at one step each; without a step they wait for it.
        if (faultStep.empty() && it->wrongPin) faultStep = "getservercert";
        if (faultStep.empty() && it->badSignature) faultStep = "serverchallengeresp";
        if (faultPath.empty() && (it->wrongPin || it->badSignature)) faultPath = "/pair";
        if (!faultPath.empty() && faultPath != path) continue;
        if (!faultStep.empty() && faultStep != step) continue;
        Fault fault = *it;
        if (it->times > 0 && --it->times == 0) faults_.erase(it);
        return fault;
    }
    return std::nullopt;
}

bool StreamingHost::sleepUnlessStopped(double seconds) {
    std::unique_lock lock(mutex_);
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    return !changed_.wait_until(lock, until, [this] { return stopping_; });
}

int StreamingHost::verifyClientCertificate(int, X509_STORE_CTX* store) {
    // Chain certificates above the client's own play no part; self-signed leaves are the norm.
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* host = ssl ? static_cast<StreamingHost*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (!host || !certificate) return 0;
    return host->acceptsClientCertificate(BoxCrypto::derOf(certificate)) ? 1 : 0;
}

bool StreamingHost::acceptsClientCertificate(ByteView der) {
    std::lock_guard lock(mutex_);
    // While no client is paired any certificate may talk to the box (it is told PairStatus 0); while one is,
    // only paired ones and the one whose pairing waits for its confirmation.
    const bool pairing = pairing_ && std::equal(pairing_->clientCertificateDER.begin(),
                                                pairing_->clientCertificateDER.end(), der.begin(), der.end());
    if (paired_.empty() || pairing || isPairedLocked(der)) return true;
    ++refusedHandshakes_;
    return false;
}

void StreamingHost::serve(const httplib::Request& request, httplib::Response& response, bool secure) {
    ReceivedRequest received;
    received.method = request.method;
    received.path = request.path;
    received.target = request.target;
    received.requestLine = request.method + " " + request.target + " " + request.version;
    received.query = parseQuery(request.target);
    received.secure = secure;
    received.port = request.local_port;
    if (secure && request.ssl) {
        BoxCrypto::X509Ptr peer(SSL_get1_peer_certificate(request.ssl));
        if (peer) received.clientCertificateDER = BoxCrypto::derOf(peer.get());
    }
    const std::string step = received.path == "/pair" ? pairStep(received) : std::string{};

    std::optional<Fault> scripted;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(received);
        while (requests_.size() > options_.maxRecordedRequests) requests_.pop_front();
        if (received.method == "GET") scripted = takeFaultLocked(received.path, step);
    }
    const Fault fault = scripted.value_or(Fault{});

    Reply reply;
    if (received.method != "GET") {
        reply = {405, document(405, "Method Not Allowed", {})};
    } else if (fault.delaySeconds > 0 && !sleepUnlessStopped(fault.delaySeconds)) {
        reply = {503, document(503, "The box is shutting down", {})};
    } else if (fault.malformedXml) {
        reply = {fault.httpStatus ? fault.httpStatus : 200, "<?xml version=\"1.0\"?>\n<root status_code=\"200\"><paired>1</paired"};
    } else if (fault.statusCode) {
        reply = {fault.httpStatus ? fault.httpStatus : 200, document(*fault.statusCode, fault.statusMessage, {})};
    } else if (fault.httpStatus) {
        reply = {fault.httpStatus, "<html><body><h1>Error " + std::to_string(fault.httpStatus) + "</h1><p>box error", "text/html"};
    } else {
        reply = dispatch(received, fault);
    }
    response.status = reply.httpStatus;
    response.set_content(reply.body, reply.contentType.c_str());
}

StreamingHost::Reply StreamingHost::dispatch(const ReceivedRequest& request, const Fault& fault) {
    const std::string& path = request.path;
    if (path == "/serverinfo") return serverInfo(request, fault);
    if (path == "/pair") return pair(request, fault);
    if (path == "/unpair") return unpair(request);
    if (path == "/applist" || path == "/launch" || path == "/resume" || path == "/cancel") {
        bool allowed = false;
        {
            std::lock_guard lock(mutex_);
            allowed = request.secure && isPairedLocked(request.clientCertificateDER);
        }
        if (!allowed) return {200, document(401, kNotAuthorized, {})};
        if (path == "/applist") return appList(request);
        if (path == "/cancel") return cancel(request);
        return launch(request, fault, path == "/resume");
    }
    return {404, document(404, "Not Found", {})};
}

StreamingHost::Reply StreamingHost::serverInfo(const ReceivedRequest& request, const Fault& fault) {
    std::lock_guard lock(mutex_);
    const bool paired = request.secure && !fault.notPaired && isPairedLocked(request.clientCertificateDER);
    std::string state = options_.state;
    if (state.empty()) state = currentGame_ != 0 ? "SERVER_BUSY" : "SERVER_FREE";
    std::string inner = element("hostname", options_.hostname) + element("appversion", options_.appVersion) +
                        element("uniqueid", options_.uniqueId);
    if (options_.reportedHttpsPort) inner += element("HttpsPort", std::to_string(*options_.reportedHttpsPort));
    if (options_.reportedExternalPort) inner += element("ExternalPort", std::to_string(*options_.reportedExternalPort));
    inner += element("PairStatus", paired ? "1" : "0") + element("currentgame", std::to_string(currentGame_)) +
             element("state", state) + element("ServerCodecModeSupport", std::to_string(options_.codecModeSupport)) +
             element("MaxLumaPixelsHEVC", std::to_string(options_.maxLumaPixelsHEVC));
    return {200, document(200, {}, inner)};
}

StreamingHost::Reply StreamingHost::appList(const ReceivedRequest&) {
    std::string inner;
    for (const App& app : options_.apps)
        inner += "<App>" + element("IsHdrSupported", app.hdrSupported ? "1" : "0") + element("AppTitle", app.title) +
                 element("ID", std::to_string(app.id)) + "</App>";
    return {200, document(200, {}, inner)};
}

StreamingHost::Reply StreamingHost::launch(const ReceivedRequest& request, const Fault& fault, bool resume) {
    const auto appId = parseInteger(request.item("appid").value_or(""));
    if (!appId) return {200, document(400, "Missing or invalid appid", {})};
    const bool known = std::any_of(options_.apps.begin(), options_.apps.end(), [&](const App& a) { return a.id == *appId; });
    if (!known) return {200, document(404, "Game not found", {})};
    const auto rikey = BoxCrypto::fromHex(request.item("rikey").value_or(""));
    if (!rikey || rikey->size() != 16) return {200, document(400, "Missing or invalid rikey", {})};
    const auto rikeyId = parseInteger(request.item("rikeyid").value_or(""));
    if (!rikeyId || *rikeyId < std::numeric_limits<std::int32_t>::min() || *rikeyId > std::numeric_limits<std::int32_t>::max())
        return {200, document(400, "Missing or invalid rikeyid", {})};
    static const std::regex kMode(R"([0-9]{1,5}x[0-9]{1,5}x[0-9]{1,4})");
    const std::string mode = request.item("mode").value_or("");
    if (!std::regex_match(mode, kMode)) return {200, document(400, "Missing or invalid mode", {})};
    const std::string size = mode.substr(0, mode.rfind('x'));
    if (std::find(options_.refusedSizes.begin(), options_.refusedSizes.end(), size) != options_.refusedSizes.end())
        return {200, document(503, "Size " + size + " not available", {})};
    {
        std::lock_guard lock(mutex_);
        if (!resume) currentGame_ = *appId;
    }
    log(std::string("host: ") + (resume ? "resume" : "launch") + " of app " + std::to_string(*appId));
    if (options_.onLaunch) options_.onLaunch(*rikey, static_cast<std::int32_t>(*rikeyId), resume);
    const std::string url = fault.emptySessionUrl ? std::string{} : sessionUrl();
    return {200, document(200, {}, element("gamesession", "1") + element("sessionUrl0", url))};
}

StreamingHost::Reply StreamingHost::cancel(const ReceivedRequest&) {
    {
        std::lock_guard lock(mutex_);
        currentGame_ = 0;
    }
    if (options_.onCancel) options_.onCancel();
    return {200, document(200, {}, element("cancel", "1"))};
}

StreamingHost::Reply StreamingHost::unpair(const ReceivedRequest& request) {
    std::lock_guard lock(mutex_);
    if (request.secure) {
        const Bytes& der = request.clientCertificateDER;
        if (der.empty()) return {200, document(401, kNotAuthorized, {})};
        std::erase_if(paired_, [&](const PairedClient& c) { return c.certificateDER == der; });
        if (pairing_ && pairing_->clientCertificateDER == der) pairing_.reset();
    } else {
        const auto uniqueId = request.item("uniqueid");
        if (!uniqueId || uniqueId->empty()) return {200, document(400, "Missing uniqueid", {})};
        std::erase_if(paired_, [&](const PairedClient& c) { return c.uniqueId == *uniqueId; });
        if (pairing_ && pairing_->uniqueId == *uniqueId) pairing_.reset();
    }
    log("host: unpaired a client");
    return {200, document(200, {}, {})};
}

StreamingHost::Reply StreamingHost::pair(const ReceivedRequest& request, const Fault& fault) {
    const auto uniqueId = request.item("uniqueid");
    if (!uniqueId || uniqueId->empty()) return {200, document(400, "Missing uniqueid", {})};
    const std::string step = pairStep(request);
    if (step == "getservercert") return pairGetServerCert(request, fault);
    if (step == "clientchallenge") return pairClientChallenge(request, fault);
    if (step == "serverchallengeresp") return pairServerChallengeResponse(request, fault);
    if (step == "clientpairingsecret") return pairClientPairingSecret(request, fault);
    if (step == "pairchallenge") return pairChallenge(request, fault);
    return {200, document(400, "Unknown pairing step", {})};
}

StreamingHost::Reply StreamingHost::notPairedReply() { return {200, document(200, {}, element("paired", "0"))}; }

StreamingHost::Reply StreamingHost::pairGetServerCert(const ReceivedRequest& request, const Fault& fault) {
    const auto salt = BoxCrypto::fromHex(request.item("salt").value_or(""));
    if (!salt || salt->size() != 16) return {200, document(400, "Missing or invalid salt", {})};
    const auto pem = BoxCrypto::fromHex(request.item("clientcert").value_or(""));
    auto certificate = pem ? BoxCrypto::certificateFromPEM(std::string(pem->begin(), pem->end())) : std::nullopt;
    if (!certificate) return {200, document(400, "Missing or invalid clientcert", {})};
    const std::string uniqueId = *request.item("uniqueid");

    std::unique_lock lock(mutex_);
    if (pairing_ && pairing_->uniqueId == uniqueId) pairing_.reset();
    if (fault.notPaired) return notPairedReply();
    log("host: pairing requested by " + uniqueId + ", waiting for the PIN");
    const auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.pinWaitSeconds));
    // A PIN typed shortly before the request arrived counts too: the user may be quicker than the network.
    const auto fresh = [&] { return pin_ && std::chrono::steady_clock::now() - pin_->second <= wait; };
    changed_.wait_until(lock, std::chrono::steady_clock::now() + wait, [&] { return stopping_ || fresh(); });
    if (stopping_ || !fresh()) {
        log("host: no PIN entered for " + uniqueId);
        return notPairedReply();
    }
    std::string pin = pin_->first;
    pin_.reset();
    if (fault.wrongPin) pin = otherPin(pin);

    PairingRun run;
    run.uniqueId = uniqueId;
    run.deviceName = request.item("devicename").value_or("");
    run.clientCertificateDER = BoxCrypto::derOf(certificate->get());
    run.clientSignatureBits = BoxCrypto::signatureBits(certificate->get());
    run.key = BoxCrypto::sha256({*salt, bytesOf(pin)});
    run.key.resize(16);
    pairing_ = std::move(run);
    return {200, document(200, {}, element("paired", "1") + element("plaincert", BoxCrypto::hex(bytesOf(certificatePEM_))))};
}

StreamingHost::Reply StreamingHost::pairClientChallenge(const ReceivedRequest& request, const Fault& fault) {
    const auto encrypted = BoxCrypto::fromHex(request.item("clientchallenge").value_or(""));
    if (!encrypted || encrypted->size() != 16) return {200, document(400, "Invalid clientchallenge", {})};
    std::lock_guard lock(mutex_);
    if (!pairing_ || pairing_->uniqueId != *request.item("uniqueid") ||
        pairing_->stage != PairingRun::Stage::challenge || fault.notPaired) {
        pairing_.reset();
        return notPairedReply();
    }
    PairingRun& run = *pairing_;
    const Bytes challenge = *BoxCrypto::aes128Ecb(*encrypted, run.key, false);
    run.boxSecret = BoxCrypto::randomBytes(16);
    run.serverChallenge = BoxCrypto::randomBytes(16);
    Bytes plain = BoxCrypto::sha256({challenge, certificateSignatureBits_, run.boxSecret});
    plain.insert(plain.end(), run.serverChallenge.begin(), run.serverChallenge.end());
    const Bytes sealed = *BoxCrypto::aes128Ecb(plain, run.key, true);
    run.stage = PairingRun::Stage::challengeResponse;
    return {200, document(200, {}, element("paired", "1") + element("challengeresponse", BoxCrypto::hex(sealed)))};
}

StreamingHost::Reply StreamingHost::pairServerChallengeResponse(const ReceivedRequest& request, const Fault& fault) {
    const auto encrypted = BoxCrypto::fromHex(request.item("serverchallengeresp").value_or(""));
    if (!encrypted || encrypted->size() != 32) return {200, document(400, "Invalid serverchallengeresp", {})};
    std::lock_guard lock(mutex_);
    if (!pairing_ || pairing_->uniqueId != *request.item("uniqueid") ||
        pairing_->stage != PairingRun::Stage::challengeResponse || fault.notPaired) {
        pairing_.reset();
        return notPairedReply();
    }
    PairingRun& run = *pairing_;
    run.clientHash = *BoxCrypto::aes128Ecb(*encrypted, run.key, false);
    Bytes signature = BoxCrypto::sign(run.boxSecret, key_.get());
    if (fault.badSignature) signature[signature.size() / 2] ^= 0x5a;
    Bytes secret = run.boxSecret;
    secret.insert(secret.end(), signature.begin(), signature.end());
    run.stage = PairingRun::Stage::secret;
    return {200, document(200, {}, element("paired", "1") + element("pairingsecret", BoxCrypto::hex(secret)))};
}

StreamingHost::Reply StreamingHost::pairClientPairingSecret(const ReceivedRequest& request, const Fault& fault) {
    const auto data = BoxCrypto::fromHex(request.item("clientpairingsecret").value_or(""));
    if (!data || data->size() < 17) return {200, document(400, "Invalid clientpairingsecret", {})};
    std::lock_guard lock(mutex_);
    if (!pairing_ || pairing_->uniqueId != *request.item("uniqueid") ||
        pairing_->stage != PairingRun::Stage::secret || fault.notPaired) {
        pairing_.reset();
        return notPairedReply();
    }
    PairingRun& run = *pairing_;
    const ByteView clientSecret(data->data(), 16);
    const ByteView signature(data->data() + 16, data->size() - 16);
    auto certificate = BoxCrypto::certificateFromDER(run.clientCertificateDER);
    const bool signed_ = certificate && BoxCrypto::verify(clientSecret, signature, certificate->get());
    const bool hashMatches = BoxCrypto::sha256({run.serverChallenge, run.clientSignatureBits, clientSecret}) == run.clientHash;
    if (!signed_ || !hashMatches) {
        log(std::string("host: pairing failed: ") + (!signed_ ? "bad client signature" : "the PIN didn't match"));
        pairing_.reset();
        return notPairedReply();
    }
    run.stage = PairingRun::Stage::confirm;
    return {200, document(200, {}, element("paired", "1"))};
}

StreamingHost::Reply StreamingHost::pairChallenge(const ReceivedRequest& request, const Fault& fault) {
    std::lock_guard lock(mutex_);
    const bool ready = request.secure && pairing_ && pairing_->uniqueId == *request.item("uniqueid") &&
                       pairing_->stage == PairingRun::Stage::confirm &&
                       pairing_->clientCertificateDER == request.clientCertificateDER && !fault.notPaired;
    if (!ready) {
        pairing_.reset();
        return notPairedReply();
    }
    const Bytes der = pairing_->clientCertificateDER;
    std::erase_if(paired_, [&](const PairedClient& c) { return c.certificateDER == der; });
    paired_.push_back({pairing_->uniqueId, pairing_->deviceName, der});
    log("host: paired " + pairing_->uniqueId + " (" + pairing_->deviceName + ")");
    pairing_.reset();
    return {200, document(200, {}, element("paired", "1"))};
}

} // namespace corvane::boxsim
