#include "boxsim/agent/Agent.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "platform/core/Error.hpp"
#include "platform/log/SystemLog.hpp"

namespace corvane::boxsim {
namespace {

using json = nlohmann::json;

void log(std::string_view line) { platform::SystemLog::write("boxsim", line); }

const std::vector<std::string> kEndpoints = {
    "GET /v1/info",
    "GET /v1/status",
    "POST /v1/pair",
    "POST /v1/power/{action}",
    "POST /v1/settings",
    "GET /v1/diagnostics",
    "GET /v1/updates",
    "POST /v1/update",
    "GET /v1/update/status",
    "POST /v1/unpair-all",
    "GET /v1/user/clipboard",
    "POST /v1/user/clipboard",
    "GET /v1/user/outbox",
    "GET /v1/user/outbox/{id}/file",
    "POST /v1/user/outbox/{id}/done",
    "POST /v1/user/drop",
    "POST /v1/user/drop/{id}/dir",
    "PUT /v1/user/drop/{id}/file",
    "POST /v1/user/drop/{id}/finish",
    "POST /v1/user/open-url",
    "POST /v1/user/wallpaper/refresh",
    "POST /v1/display/mode",
    "GET /v1/user/cursor",
};

std::vector<std::string> splitPattern(const std::string& key, std::string& method) {
    const auto space = key.find(' ');
    method = key.substr(0, space);
    std::vector<std::string> parts;
    std::string rest = key.substr(space + 2);  // past " /"
    std::size_t start = 0;
    while (true) {
        const auto slash = rest.find('/', start);
        parts.push_back(rest.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

bool matches(const std::vector<std::string>& pattern, const std::vector<std::string>& segments) {
    if (pattern.size() != segments.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const bool placeholder = pattern[i].size() > 2 && pattern[i].front() == '{';
        if (!placeholder && pattern[i] != segments[i]) return false;
    }
    return true;
}

// The raw target's path split at "/", each segment decoded on its own.
std::vector<std::string> segmentsOf(const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    std::vector<std::string> out;
    std::size_t start = path.empty() || path.front() != '/' ? 0 : 1;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto piece = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        out.push_back(httplib::detail::decode_url(piece, false));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return out;
}

std::string error(const std::string& text) { return json{{"error", text}}.dump(); }

std::optional<json> objectOf(const std::string& body) {
    json value = json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object()) return std::nullopt;
    return value;
}

std::int64_t statedSize(const Agent::OutboxFile& file) {
    return file.statedSize.value_or(static_cast<std::int64_t>(file.content.size()));
}

} // namespace

struct Agent::Answer {
    int status = 200;
    std::string body = "{}";
    std::string contentType = "application/json";
    // When above 0: the body is `body`, this many "x", then `tail`, streamed.
    std::uint64_t fillBytes = 0;
    std::string tail{};
};

Agent::Agent(Options options) : options_(std::move(options)) {
    agentVersion_ = options_.agentVersion;
    installed_ = options_.installed;
    started_ = std::chrono::steady_clock::now();
}

Agent::~Agent() { stop(); }

const std::vector<std::string>& Agent::endpoints() { return kEndpoints; }

void Agent::start() {
    std::lock_guard life(lifecycle_);
    if (server_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    serve();
}

void Agent::serve() {
    auto server = std::make_unique<httplib::Server>();
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->new_task_queue = [] { return new httplib::ThreadPool(16); };
    server->set_payload_max_length(options_.maxUploadBytes);
    server->set_read_timeout(10);
    server->set_write_timeout(10);
    server->set_keep_alive_timeout(1);
    // Every method goes to one handler that routes on the raw target.
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) { handle(request, response); };
    server->Get(".*", handler);
    server->Post(".*", handler);
    // Drop files may be streamed to disk as they arrive; everything else is read whole first.
    server->Put(R"(/v1/user/drop/[^/]+/file)",
                [this](const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader) {
                    if (!options_.dropFolder.empty() && !streamDropFile(request, reader)) {
                        response.status = 400;
                        response.set_content(error("cannot store that file"), "application/json");
                        return;
                    }
                    httplib::Request copy = request;
                    if (options_.dropFolder.empty() && !reader([&](const char* data, std::size_t length) {
                            copy.body.append(data, length);
                            return copy.body.size() <= options_.maxUploadBytes;
                        })) {
                        response.status = 413;
                        response.set_content(error("too large"), "application/json");
                        return;
                    }
                    handle(copy, response);
                });
    server->Put(".*", handler);
    server->Delete(".*", handler);
    server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 500;
        response.set_content(error("internal error"), "application/json");
    });
    if (!server->bind_to_port(options_.address, options_.port))
        throw Error("boxsim: cannot bind " + options_.address + ":" + std::to_string(options_.port));
    httplib::Server* raw = server.get();
    // Set before any request can arrive: a handler may close the port for a restart.
    server_ = std::move(server);
    {
        std::lock_guard lock(mutex_);
        closed_ = false;
    }
    thread_ = std::thread([raw] { raw->listen_after_bind(); });
    // stop() can only end a server whose loop has begun.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!raw->is_running() && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    log("agent: serving " + options_.address + ":" + std::to_string(options_.port));
}

void Agent::stop() {
    {
        std::lock_guard life(lifecycle_);
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;  // a restart in its closed time stays closed
            if (server_ && !closed_) server_->stop();
            closed_ = true;
        }
        stopped_.notify_all();
        if (server_) {
            thread_.join();
            server_.reset();
            log("agent: stopped " + options_.address);
        }
    }
    joinRestarts();
}

void Agent::joinRestarts() {
    std::vector<std::thread> restarts;
    {
        std::lock_guard lock(mutex_);
        restarts.swap(restarts_);
    }
    for (auto& thread : restarts) thread.join();
}

// On the thread of the request that finished the update: only the listening socket closes here, so the
// reply being written still goes out and the port is closed before the client reads it.
void Agent::closeForRestart() {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    comeBack_ = false;
    server_->stop();
    restarts_.emplace_back([this] { reopen(); });
}

void Agent::reopen() {
    {
        std::lock_guard life(lifecycle_);
        if (!server_) return;  // stopped meanwhile
        thread_.join();        // ends once the request that closed the port has been answered
        server_.reset();
    }
    log("agent: restarting " + options_.address);
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, std::chrono::duration<double>(restart_.closedSeconds), [this] { return stopping_ || comeBack_; });
    if (stopping_ || restart_.outcome == AgentRestart::Outcome::never) return;
    if (restart_.outcome == AgentRestart::Outcome::oldVersion) agentVersion_ = versionBeforeRestart_;
    lock.unlock();
    std::lock_guard life(lifecycle_);
    if (server_) return;  // started again by hand
    try {
        serve();
    } catch (const std::exception& error) {
        log(error.what());
    }
}

void Agent::comeBack() {
    {
        std::lock_guard lock(mutex_);
        comeBack_ = true;
    }
    stopped_.notify_all();
    joinRestarts();
}

void Agent::script(const std::string& endpoint, Reply reply) {
    if (std::find(kEndpoints.begin(), kEndpoints.end(), endpoint) == kEndpoints.end())
        throw std::invalid_argument("boxsim agent: no endpoint " + endpoint);
    std::lock_guard lock(mutex_);
    scripts_[endpoint].push_back(std::move(reply));
}

void Agent::clearScripts() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
}

bool Agent::waitOrStop(double seconds) {
    std::unique_lock lock(mutex_);
    return !stopped_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

void Agent::handle(const httplib::Request& request, httplib::Response& response) {
    const auto segments = segmentsOf(request.target);

    std::string endpoint;
    bool pathKnown = false;
    for (const auto& key : kEndpoints) {
        std::string method;
        if (!matches(splitPattern(key, method), segments)) continue;
        pathKnown = true;
        if (method == request.method) {
            endpoint = key;
            break;
        }
    }

    std::optional<Reply> scripted;
    {
        std::lock_guard lock(mutex_);
        Seen seen{request.method, request.target, segments, {}, request.body.substr(0, 1 << 20),
                  request.get_header_value("Content-Type"), request.get_header_value("User-Agent"), endpoint};
        for (const auto& [name, value] : request.params) seen.query.emplace(name, value);
        seen_.push_back(std::move(seen));
        while (seen_.size() > options_.maxRecordedRequests) seen_.pop_front();
        if (!endpoint.empty()) {
            auto found = scripts_.find(endpoint);
            if (found != scripts_.end() && !found->second.empty()) {
                Reply& next = found->second.front();
                scripted = next;
                if (next.times > 0 && --next.times == 0) found->second.pop_front();
            }
        }
    }

    if (scripted) {
        if (scripted->delaySeconds > 0 && !waitOrStop(scripted->delaySeconds)) {
            response.status = 503;
            return;
        }
        response.status = scripted->status;
        if (scripted->hugeBytes > 0) {
            const std::uint64_t total = scripted->hugeBytes;
            auto provider = [total](std::size_t offset, httplib::DataSink& sink) {
                const std::string piece(std::min<std::uint64_t>(65536, total - offset), 'x');
                return sink.write(piece.data(), piece.size());
            };
            if (scripted->announceLength) {
                response.set_content_provider(static_cast<std::size_t>(total), scripted->contentType,
                                              [provider](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                                  return provider(offset, sink);
                                              });
            } else {
                auto sent = std::make_shared<std::uint64_t>(0);
                response.set_chunked_content_provider(scripted->contentType,
                                                      [provider, sent, total](std::size_t, httplib::DataSink& sink) {
                                                          if (*sent >= total) {
                                                              sink.done();
                                                              return true;
                                                          }
                                                          const std::uint64_t offset = *sent;
                                                          *sent += std::min<std::uint64_t>(65536, total - offset);
                                                          return provider(static_cast<std::size_t>(offset), sink);
                                                      });
            }
        } else if (scripted->secondsPerByte > 0) {
            response.set_content_provider(scripted->body.size(), scripted->contentType,
                                          [this, body = scripted->body, pause = scripted->secondsPerByte](
                                              std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                              return waitOrStop(pause) && sink.write(body.data() + offset, 1);
                                          });
        } else {
            response.set_content(scripted->body, scripted->contentType);
        }
        return;
    }

    if (endpoint.empty()) {
        response.status = pathKnown ? 405 : 404;
        response.set_content(error(pathKnown ? "method not allowed" : "not found"), "application/json");
        return;
    }
    const Answer answer = simulate(endpoint, segments, request);
    bool agentUpdated = false;
    bool hostUpdated = false;
    {
        std::lock_guard lock(mutex_);
        agentUpdated = std::exchange(agentUpdated_, false);
        hostUpdated = std::exchange(hostUpdated_, false);
    }
    if (hostUpdated && options_.hostUpdated) options_.hostUpdated();
    if (agentUpdated) closeForRestart();
    response.status = answer.status;
    std::string source;  // an outbox file kept on disk is streamed from there
    if (endpoint == "GET /v1/user/outbox/{id}/file" && answer.status == 200) {
        std::lock_guard lock(mutex_);
        const auto found = outboxSources_.find({segments[3], request.get_param_value("path")});
        if (found != outboxSources_.end()) source = found->second;
    }
    if (answer.fillBytes > 0) {
        const std::uint64_t total = answer.body.size() + answer.fillBytes + answer.tail.size();
        response.set_content_provider(
            static_cast<std::size_t>(total), answer.contentType,
            [head = answer.body, tail = answer.tail, fill = answer.fillBytes](std::size_t offset, std::size_t length,
                                                                               httplib::DataSink& sink) {
                const std::uint64_t end = offset + std::min<std::size_t>(length, 1 << 20);
                const std::uint64_t filled = head.size() + fill;
                std::string piece;
                piece.reserve(static_cast<std::size_t>(end - offset));
                for (std::uint64_t at = offset; at < end;) {
                    std::uint64_t n = 0;
                    if (at < head.size()) {
                        n = std::min<std::uint64_t>(end, head.size()) - at;
                        piece.append(head, static_cast<std::size_t>(at), static_cast<std::size_t>(n));
                    } else if (at < filled) {
                        n = std::min(end, filled) - at;
                        piece.append(static_cast<std::size_t>(n), 'x');
                    } else {
                        n = std::min<std::uint64_t>(end - at, tail.size() - (at - filled));
                        piece.append(tail, static_cast<std::size_t>(at - filled), static_cast<std::size_t>(n));
                    }
                    at += n;
                }
                return sink.write(piece.data(), piece.size());
            });
        return;
    }
    if (source.empty()) {
        response.set_content(answer.body, answer.contentType);
        return;
    }
    auto in = std::make_shared<std::ifstream>(source, std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(source, ec);
    response.set_content_provider(ec ? 0 : static_cast<std::size_t>(size), answer.contentType,
                                  [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                      std::vector<char> buffer(std::min<std::size_t>(length, 1 << 20));
                                      in->seekg(static_cast<std::streamoff>(offset));
                                      in->read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                                      const auto got = in->gcount();
                                      return got > 0 && sink.write(buffer.data(), static_cast<std::size_t>(got));
                                  });
}

bool Agent::streamDropFile(const httplib::Request& request,
                           const std::function<bool(const std::function<bool(const char*, std::size_t)>&)>& read) {
    const auto segments = segmentsOf(request.target);
    if (segments.size() != 5 || !request.has_param("path")) return false;
    const std::filesystem::path rel(request.get_param_value("path"));
    if (rel.empty() || rel.is_absolute()) return false;
    for (const auto& part : rel)
        if (part == ".." || part == ".") return false;
    const auto target = std::filesystem::path(options_.dropFolder) / segments[3] / rel;
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    read([&](const char* data, std::size_t length) {
        out.write(data, static_cast<std::streamsize>(length));
        return static_cast<bool>(out);
    });
    return static_cast<bool>(out);
}

Agent::Answer Agent::simulate(const std::string& endpoint, const std::vector<std::string>& segments,
                              const httplib::Request& request) {
    const auto bad = [](const std::string& text) { return Answer{400, error(text), "application/json"}; };
    const auto missing = [](const std::string& text) { return Answer{404, error(text), "application/json"}; };
    const auto param = [&](const char* name) -> std::optional<std::string> {
        if (!request.has_param(name)) return std::nullopt;
        return request.get_param_value(name);
    };

    if (endpoint == "POST /v1/pair") {
        const auto body = objectOf(request.body);
        if (!body || !body->contains("pin") || !(*body)["pin"].is_string() || !body->contains("name") ||
            !(*body)["name"].is_string())
            return bad("pin and name are required");
        const std::string pin = (*body)["pin"].get<std::string>();
        if (pin.size() != 4 || !std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return bad("the PIN must be four digits");
        {
            std::lock_guard lock(mutex_);
            pins_.push_back(pin);
            ++pairedClients_;
        }
        if (options_.enterPin) options_.enterPin(pin);
        return Answer{200, json{{"paired", true}}.dump()};
    }

    std::lock_guard lock(mutex_);
    if (endpoint == "GET /v1/info") {
        json wake = json::array({json{{"name", "Ethernet"}, {"mac", options_.wakeMac}, {"wireless", false},
                                      {"up", true}, {"ipv4", json::array({options_.address})}}});
        json info = {{"product", options_.product},
                     {"agent_version", agentVersion_},
                     {"box_name", options_.boxName},
                     {"streaming_host", {{"reachable", true}, {"auth_ok", true}, {"paired_clients", pairedClients_}}},
                     {"windows", "Windows 11 Pro 23H2"},
                     {"gamepad_driver", true},
                     {"wake", wake},
                     {"settings", {{"unplugged_sleep_minutes", options_.unpluggedSleepMinutes}}},
                     {"can_update", canUpdate_},
                     {"sharing", options_.sharingAvailable ? json{{"available", true}}
                                                           : json{{"available", false},
                                                                  {"reason", "Sign in to Windows to share files."}}}};
        if (update_.state != "idle")
            info["update"] = {{"state", update_.state}, {"component", update_.component}, {"progress", update_.progress},
                              {"version", update_.version}};
        return Answer{200, info.dump()};
    }
    if (endpoint == "GET /v1/status") {
        const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
        return Answer{200, json{{"cpu_name", "Simulated CPU"},
                                {"gpu_name", "Simulated GPU"},
                                {"cpu_percent", 12.5},
                                {"gpu_percent", 30.0},
                                {"memory_used", std::uint64_t(8) << 30},
                                {"memory_total", std::uint64_t(32) << 30},
                                {"disk_free", std::uint64_t(400) << 30},
                                {"disk_total", std::uint64_t(1000) << 30},
                                {"temperature_c", 48.0},
                                {"uptime_seconds", static_cast<std::uint64_t>(uptime.count()) + 3600}}
                               .dump()};
    }
    if (endpoint == "POST /v1/power/{action}") {
        const std::string& action = segments[2];
        if (action != "restart" && action != "shutdown") return bad("unknown action");
        powerActions_.push_back(action);
        if (options_.onPower) options_.onPower(action);
        return Answer{};
    }
    if (endpoint == "POST /v1/settings") {
        const auto body = objectOf(request.body);
        if (!body || !body->contains("unplugged_sleep_minutes") || !(*body)["unplugged_sleep_minutes"].is_number_integer())
            return bad("unplugged_sleep_minutes must be an integer");
        options_.unpluggedSleepMinutes = (*body)["unplugged_sleep_minutes"].get<std::int64_t>();
        return Answer{};
    }
    if (endpoint == "GET /v1/diagnostics") {
        return Answer{200, "Corvane Host diagnostics\nbox: " + options_.boxName + "\nagent: " + agentVersion_ + "\n",
                      "text/plain; charset=utf-8"};
    }
    if (endpoint == "GET /v1/updates") {
        json available = json::object();
        for (const auto& [name, version] : options_.available) available[name] = version;
        json installed = json::object();
        for (const auto& [name, version] : installed_) installed[name] = version;
        return Answer{200, json{{"installed", installed}, {"available", available}, {"can_update", canUpdate_}}.dump()};
    }
    if (endpoint == "POST /v1/update") {
        const auto body = objectOf(request.body);
        if (!body || !body->contains("component") || !(*body)["component"].is_string())
            return bad("component is required");
        const std::string component = (*body)["component"].get<std::string>();
        const auto found = options_.available.find(component);
        if (found == options_.available.end()) return bad("unknown component");
        update_ = Update{"running", component, found->second, 0};
        const auto run = updateRuns_.find(component);
        scriptedRun_ = run != updateRuns_.end();
        if (scriptedRun_) {
            currentRun_ = std::move(run->second);
            updateRuns_.erase(run);
        }
        return Answer{200, json{{"started", true}}.dump()};
    }
    if (endpoint == "GET /v1/update/status" && scriptedRun_ && !currentRun_.empty()) {
        const UpdateStep step = currentRun_.front();
        if (currentRun_.size() > 1) currentRun_.pop_front();
        json status = {{"state", step.state}, {"progress", step.progress}, {"component", update_.component}};
        if (step.message) status["message"] = *step.message;
        if (step.version) status["version"] = *step.version;
        if (step.state == "done" && update_.state == "running") {
            // Installed; the agent and the host then restart.
            const std::string version = step.version.value_or(update_.version);
            installed_[update_.component] = version;
            if (update_.component == "agent") {
                versionBeforeRestart_ = agentVersion_;
                agentVersion_ = version;
                agentUpdated_ = true;
            }
            if (update_.component == "host") hostUpdated_ = true;
        }
        update_.state = step.state;
        return Answer{200, status.dump()};
    }
    if (endpoint == "GET /v1/update/status") {
        if (update_.state == "running") {
            update_.progress = std::min(1.0, update_.progress + 0.5);
            if (update_.progress >= 1.0) {
                update_.state = "done";
                installed_[update_.component] = update_.version;
                if (update_.component == "agent") agentVersion_ = update_.version;
            }
        }
        json status = {{"state", update_.state}, {"progress", update_.progress}};
        if (!update_.component.empty()) status["component"] = update_.component;
        if (!update_.version.empty()) status["version"] = update_.version;
        return Answer{200, status.dump()};
    }
    if (endpoint == "POST /v1/unpair-all") {
        pairedClients_ = 0;
        if (options_.onUnpairAll) options_.onUnpairAll();
        return Answer{};
    }
    if (endpoint == "GET /v1/user/clipboard") {
        const auto since = param("since");
        std::uint64_t n = 0;
        if (!since || since->empty() || since->size() > 10 ||
            !std::all_of(since->begin(), since->end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            (n = std::stoull(*since)) > 0xFFFFFFFFull)
            return bad("since must be a sequence number");
        if ((clipboard_.seq <= n && !clipboardIgnoresSince_) || clipboard_.type.empty())
            return Answer{204, "", "application/json"};
        if (clipboard_.longTextBytes > 0)
            return Answer{200, R"({"type":"text","text":")", "application/json", clipboard_.longTextBytes,
                          R"(","seq":)" + std::to_string(clipboard_.seq) + "}"};
        json clip = {{"seq", clipboard_.seq}, {"type", clipboard_.type}};
        if (clipboard_.type == "text") clip["text"] = clipboard_.text;
        else clip["png"] = clipboard_.pngBase64;
        return Answer{200, clip.dump()};
    }
    if (endpoint == "POST /v1/user/clipboard") {
        const auto body = objectOf(request.body);
        if (!body) return bad("a JSON object is required");
        const auto type = body->value("type", std::string());
        if (type == "text" && body->contains("text") && (*body)["text"].is_string()) {
            clipboard_ = Clipboard{clipboard_.seq + 1, "text", (*body)["text"].get<std::string>(), {}};
        } else if (type == "png" && body->contains("png") && (*body)["png"].is_string()) {
            clipboard_ = Clipboard{clipboard_.seq + 1, "png", {}, (*body)["png"].get<std::string>()};
        } else {
            return bad("nothing to put on the clipboard");
        }
        return Answer{200, json{{"seq", clipboard_.seq}}.dump()};
    }
    if (endpoint == "GET /v1/user/outbox") {
        json items = json::array();
        for (const auto& entry : outbox_) {
            json files = json::array();
            std::int64_t total = 0;
            for (const auto& file : entry.files) {
                files.push_back({{"path", file.path}, {"size", statedSize(file)}});
                if (__builtin_add_overflow(total, statedSize(file), &total)) total = INT64_MAX;  // hostile sizes
            }
            json item = {{"id", entry.id}, {"files", files}, {"total_bytes", entry.totalBytes.value_or(total)}};
            if (entry.dirs) item["dirs"] = *entry.dirs;
            items.push_back(item);
        }
        return Answer{200, json{{"items", items}}.dump()};
    }
    if (endpoint == "GET /v1/user/outbox/{id}/file") {
        const auto path = param("path");
        for (const auto& entry : outbox_) {
            if (entry.id != segments[3]) continue;
            for (const auto& file : entry.files)
                if (path && file.path == *path) return Answer{200, file.content, "application/octet-stream"};
        }
        return missing("no such file");
    }
    if (endpoint == "POST /v1/user/outbox/{id}/done") {
        const auto found = std::find_if(outbox_.begin(), outbox_.end(), [&](const OutboxEntry& e) { return e.id == segments[3]; });
        if (found == outbox_.end()) return missing("no such item");
        outbox_.erase(found);
        return Answer{};
    }
    if (endpoint == "POST /v1/user/drop") {
        const auto body = objectOf(request.body);
        if (!body || !body->contains("names") || !(*body)["names"].is_array()) return bad("names are required");
        Drop drop;
        for (const auto& name : (*body)["names"]) {
            if (!name.is_string()) return bad("names must be texts");
            drop.names.push_back(name.get<std::string>());
        }
        drop.id = "T" + std::to_string(nextDrop_++);
        drops_.push_back(drop);
        return Answer{200, json{{"id", drop.id}, {"dest", options_.dropDest}, {"names", drop.names}}.dump()};
    }
    if (endpoint.rfind("POST /v1/user/drop/{id}/", 0) == 0 || endpoint == "PUT /v1/user/drop/{id}/file") {
        const auto found = std::find_if(drops_.begin(), drops_.end(), [&](const Drop& d) { return d.id == segments[3]; });
        if (found == drops_.end()) return missing("no such drop");
        if (endpoint == "POST /v1/user/drop/{id}/finish") {
            found->finished = true;
            return Answer{};
        }
        const auto path = param("path");
        if (!path || path->empty()) return bad("path is required");
        if (endpoint == "POST /v1/user/drop/{id}/dir") found->dirs.push_back(*path);
        else found->files[*path] = request.body;
        return Answer{};
    }
    if (endpoint == "POST /v1/user/open-url") {
        const auto body = objectOf(request.body);
        if (!body || !body->contains("url") || !(*body)["url"].is_string()) return bad("url is required");
        links_.push_back((*body)["url"].get<std::string>());
        return Answer{};
    }
    if (endpoint == "POST /v1/user/wallpaper/refresh") {
        wallpaperReasons_.push_back(param("reason").value_or(""));
        return Answer{200, json{{"refreshed", true}}.dump()};
    }
    if (endpoint == "POST /v1/display/mode") {
        const auto body = objectOf(request.body);
        if (!body) return bad("a JSON object is required");
        displayModes_.push_back(request.body);
        return Answer{};
    }
    if (endpoint == "GET /v1/user/cursor") return Answer{200, json{{"visible", cursorVisible_}}.dump()};
    return missing("not found");
}

std::vector<Agent::Seen> Agent::seen() const {
    std::lock_guard lock(mutex_);
    return {seen_.begin(), seen_.end()};
}

std::vector<Agent::Seen> Agent::seen(const std::string& endpoint) const {
    std::lock_guard lock(mutex_);
    std::vector<Seen> out;
    for (const auto& s : seen_)
        if (s.endpoint == endpoint) out.push_back(s);
    return out;
}

void Agent::addOutboxItem(OutboxEntry entry) {
    std::lock_guard lock(mutex_);
    outbox_.push_back(std::move(entry));
}

void Agent::serveOutboxFileFrom(const std::string& id, const std::string& path, std::string sourceFile) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(sourceFile, ec);
    std::lock_guard lock(mutex_);
    for (auto& entry : outbox_)
        for (auto& file : entry.files)
            if (entry.id == id && file.path == path && !file.statedSize && !ec) file.statedSize = static_cast<std::int64_t>(size);
    outboxSources_[{id, path}] = std::move(sourceFile);
}

std::vector<Agent::OutboxEntry> Agent::outbox() const {
    std::lock_guard lock(mutex_);
    return outbox_;
}

void Agent::setWindowsClipboardText(std::string text) {
    std::lock_guard lock(mutex_);
    clipboard_ = Clipboard{clipboard_.seq + 1, "text", std::move(text), {}};
}

std::uint32_t Agent::setWindowsClipboard(Clipboard item) {
    std::lock_guard lock(mutex_);
    item.seq = clipboard_.seq + 1;
    clipboard_ = std::move(item);
    return clipboard_.seq;
}

Agent::Clipboard Agent::clipboard() const {
    std::lock_guard lock(mutex_);
    return clipboard_;
}

void Agent::setClipboardIgnoresSince(bool ignores) {
    std::lock_guard lock(mutex_);
    clipboardIgnoresSince_ = ignores;
}

std::vector<Agent::Drop> Agent::drops() const {
    std::lock_guard lock(mutex_);
    return drops_;
}

std::vector<std::string> Agent::openedLinks() const {
    std::lock_guard lock(mutex_);
    return links_;
}

std::vector<std::string> Agent::powerActions() const {
    std::lock_guard lock(mutex_);
    return powerActions_;
}

std::int64_t Agent::unpluggedSleepMinutes() const {
    std::lock_guard lock(mutex_);
    return options_.unpluggedSleepMinutes;
}

std::vector<std::string> Agent::wallpaperReasons() const {
    std::lock_guard lock(mutex_);
    return wallpaperReasons_;
}

std::vector<std::string> Agent::displayModeBodies() const {
    std::lock_guard lock(mutex_);
    return displayModes_;
}

void Agent::setCursorVisible(bool visible) {
    std::lock_guard lock(mutex_);
    cursorVisible_ = visible;
}

void Agent::setPairedClients(std::int64_t count) {
    std::lock_guard lock(mutex_);
    pairedClients_ = count;
}

std::int64_t Agent::pairedClients() const {
    std::lock_guard lock(mutex_);
    return pairedClients_;
}

std::vector<std::string> Agent::pins() const {
    std::lock_guard lock(mutex_);
    return pins_;
}

void Agent::setUpdates(std::map<std::string, std::string> installed, std::map<std::string, std::string> available,
                       bool canUpdate) {
    std::lock_guard lock(mutex_);
    installed_ = std::move(installed);
    options_.available = std::move(available);
    canUpdate_ = canUpdate;
}

void Agent::scriptUpdateRun(const std::string& component, std::vector<UpdateStep> steps) {
    std::lock_guard lock(mutex_);
    updateRuns_[component] = std::deque<UpdateStep>(steps.begin(), steps.end());
}

void Agent::setAgentRestart(AgentRestart restart) {
    std::lock_guard lock(mutex_);
    restart_ = restart;
}

} // namespace corvane::boxsim
