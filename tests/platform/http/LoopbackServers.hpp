#pragma once

// Local HTTP and HTTPS servers on a loopback address of the test's own, for tests of the HTTP layer and of
// the host connection.

#include "tests/platform/crypto/TestCertificate.hpp"
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <httplib.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace corvane::test {

// What a server saw of one request.
struct SeenRequest {
    std::string target;  // the request line's target, as sent
    httplib::Params params;
    std::optional<Bytes> clientCertificate;
};

// An httplib server (plain or TLS) run on its own thread; handlers record every request they run.
class LoopbackServer {
public:
    // Plain HTTP.
    LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}
    // TLS with this certificate; asks every client for a certificate and accepts any (or none).
    explicit LoopbackServer(const TestCertificate& certificate)
        : server_(std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
              if (SSL_CTX_use_certificate_file(&context, certificate.certificatePem.c_str(), SSL_FILETYPE_PEM) != 1)
                  return false;
              if (SSL_CTX_use_PrivateKey_file(&context, certificate.keyPem.c_str(), SSL_FILETYPE_PEM) != 1)
                  return false;
              SSL_CTX_set_verify(&context, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
              return true;
          })) {}
    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    httplib::Server& server() { return *server_; }
    // Records the request, then runs `reply`.
    void on(const std::string& path, std::function<void(const httplib::Request&, httplib::Response&)> reply) {
        server_->Get(path, [this, reply](const httplib::Request& request, httplib::Response& response) {
            SeenRequest seen{request.target, request.params, std::nullopt};
            if (X509* peer = request.ssl ? SSL_get1_peer_certificate(request.ssl) : nullptr) {
                unsigned char* der = nullptr;
                const int length = i2d_X509(peer, &der);
                if (length > 0) seen.clientCertificate = Bytes(der, der + length);
                OPENSSL_free(der);
                X509_free(peer);
            }
            std::unique_lock guard(mutex_);
            seen_.push_back(seen);
            guard.unlock();
            reply(request, response);
        });
    }
    void start(const std::string& address, int port) {
        if (!server_->is_valid()) throw std::runtime_error("server not set up");
        if (!server_->bind_to_port(address, port)) throw std::runtime_error("cannot bind " + address);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        for (int i = 0; i < 500 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    void stop() {
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard guard(mutex_);
        return seen_;
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
};

} // namespace corvane::test
