#pragma once

// A local HTTP server on a loopback address of the test's own, for tests of the HTTP layer.

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <httplib.h>

namespace corvane::test {

// What a server saw of one request.
struct SeenRequest {
    std::string target;  // the request line's target, as sent
    httplib::Params params;
};

// An httplib server run on its own thread; handlers record every request they run.
class LoopbackServer {
public:
    ~LoopbackServer() { stop(); }
    httplib::Server& server() { return server_; }
    // Records the request, then runs `reply`.
    void on(const std::string& path, std::function<void(const httplib::Request&, httplib::Response&)> reply) {
        server_.Get(path, [this, reply](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock guard(mutex_);
            seen_.push_back({request.target, request.params});
            guard.unlock();
            reply(request, response);
        });
    }
    void start(const std::string& address, int port) {
        if (!server_.bind_to_port(address, port)) throw std::runtime_error("cannot bind " + address);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        for (int i = 0; i < 500 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    void stop() {
        if (thread_.joinable()) {
            server_.stop();
            thread_.join();
        }
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard guard(mutex_);
        return seen_;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
};

} // namespace corvane::test
