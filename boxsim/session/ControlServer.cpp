#include "boxsim/session/ControlServer.hpp"

#include "platform/core/Error.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <variant>

#include <arpa/inet.h>
#include <enet/enet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::boxsim {
namespace {

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// v1: 16 bytes, first byte the low byte of the sequence number. v2: 12 bytes, the sequence number LE, then
// zeros, then the sender's letter ('H' host, 'C' client) and a 'C'.
Bytes nonceFor(std::uint32_t seq, ControlServer::NonceStyle style, bool fromHost) {
    if (style == ControlServer::NonceStyle::v1) {
        Bytes nonce(16, 0);
        nonce[0] = static_cast<std::uint8_t>(seq);
        return nonce;
    }
    Bytes nonce;
    put32(nonce, seq);
    nonce.resize(12, 0);
    nonce[10] = fromHost ? 'H' : 'C';
    nonce[11] = 'C';
    return nonce;
}

struct CipherContext {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
};

std::optional<Bytes> gcm(bool encrypt, const Bytes& key, const Bytes& nonce, const std::uint8_t* in, std::size_t size,
                         std::uint8_t* tag) {
    CipherContext c;
    if (!c.ctx) return std::nullopt;
    if (EVP_CipherInit_ex(c.ctx, EVP_aes_128_gcm(), nullptr, nullptr, nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1 ||
        EVP_CipherInit_ex(c.ctx, nullptr, nullptr, key.data(), nonce.data(), encrypt) != 1)
        return std::nullopt;
    Bytes out(size);
    int n = 0;
    if (size > 0 && EVP_CipherUpdate(c.ctx, out.data(), &n, in, static_cast<int>(size)) != 1) return std::nullopt;
    if (!encrypt && EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) != 1) return std::nullopt;
    int last = 0;
    if (EVP_CipherFinal_ex(c.ctx, out.data() + n, &last) != 1) return std::nullopt;
    if (encrypt && EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, 16, tag) != 1) return std::nullopt;
    return out;
}

struct SendAction { Bytes bytes; };
struct DisconnectAction { std::uint32_t data; };
using Action = std::variant<SendAction, DisconnectAction>;

} // namespace

struct ControlServer::Impl {
    Options options;
    std::thread thread;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<Message> record;
    std::deque<Action> actions;
    bool stopping = false;
    bool frozen = false;
    bool frozenSeen = false; // the thread has stopped servicing
    bool connected = false;
    bool clientGone = false;
    std::optional<std::uint32_t> connectData;
    std::int64_t refused = 0;
    NonceStyle style = NonceStyle::v2;
    std::uint32_t seq = 0; // the host's own sequence numbers

    ENetHost* host = nullptr;
    int silentFd = -1;

    Bytes seal(std::uint16_t type, const Bytes& payload) {
        Bytes plain;
        put16(plain, type);
        put16(plain, static_cast<std::uint16_t>(payload.size()));
        plain.insert(plain.end(), payload.begin(), payload.end());
        NonceStyle current;
        std::uint32_t number;
        {
            std::lock_guard guard(lock);
            current = style;
            number = ++seq;
        }
        std::array<std::uint8_t, 16> tag{};
        auto cipher = gcm(true, *options.key, nonceFor(number, current, true), plain.data(), plain.size(), tag.data());
        if (!cipher) return {};
        Bytes out{0x01, 0x00};
        put16(out, static_cast<std::uint16_t>(20 + cipher->size()));
        put32(out, number);
        out.insert(out.end(), tag.begin(), tag.end());
        out.insert(out.end(), cipher->begin(), cipher->end());
        return out;
    }

    void receive(const Bytes& bytes) {
        Message message;
        message.at = std::chrono::steady_clock::now();
        if (options.key && bytes.size() >= 2 && le16(bytes.data()) == 1) {
            bool opened = false;
            if (bytes.size() >= 28 && le16(bytes.data() + 2) == bytes.size() - 4) {
                const std::uint32_t number = le32(bytes.data() + 4);
                std::array<std::uint8_t, 16> tag{};
                std::copy(bytes.begin() + 8, bytes.begin() + 24, tag.begin());
                NonceStyle first;
                {
                    std::lock_guard guard(lock);
                    first = style;
                }
                const NonceStyle second = first == NonceStyle::v1 ? NonceStyle::v2 : NonceStyle::v1;
                for (NonceStyle tryStyle : {first, second}) {
                    auto plain = gcm(false, *options.key, nonceFor(number, tryStyle, false), bytes.data() + 24,
                                     bytes.size() - 24, tag.data());
                    if (!plain || plain->size() < 4) continue;
                    message.type = le16(plain->data());
                    const std::size_t n = std::min<std::size_t>(le16(plain->data() + 2), plain->size() - 4);
                    message.payload.assign(plain->begin() + 4, plain->begin() + 4 + static_cast<std::ptrdiff_t>(n));
                    message.sealed = true;
                    message.seq = number;
                    message.style = tryStyle;
                    opened = true;
                    break;
                }
            }
            if (!opened) {
                std::lock_guard guard(lock);
                ++refused;
                changed.notify_all();
                return;
            }
        } else {
            if (bytes.size() < 4) return;
            message.type = le16(bytes.data());
            const std::size_t n = std::min<std::size_t>(le16(bytes.data() + 2), bytes.size() - 4);
            message.payload.assign(bytes.begin() + 4, bytes.begin() + 4 + static_cast<std::ptrdiff_t>(n));
        }
        std::lock_guard guard(lock);
        record.push_back(std::move(message));
        changed.notify_all();
    }

    void run() {
        // Work for the client waits until it has connected, so nothing is lost to a race with its arrival.
        ENetPeer* peer = nullptr;
        for (;;) {
            std::deque<Action> work;
            bool isFrozen = false;
            {
                std::lock_guard guard(lock);
                if (stopping) break;
                isFrozen = frozen;
                if (!isFrozen && peer) work.swap(actions);
            }
            if (isFrozen) {
                std::lock_guard guard(lock);
                frozenSeen = true;
                changed.notify_all();
            }
            if (isFrozen || !host) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            for (auto& action : work) {
                if (!peer) continue;
                if (auto* send = std::get_if<SendAction>(&action)) {
                    ENetPacket* packet =
                        enet_packet_create(send->bytes.data(), send->bytes.size(), ENET_PACKET_FLAG_RELIABLE);
                    if (enet_peer_send(peer, 0, packet) < 0 && packet->referenceCount == 0) enet_packet_destroy(packet);
                } else if (auto* d = std::get_if<DisconnectAction>(&action)) {
                    enet_peer_disconnect(peer, d->data);
                }
            }
            if (!work.empty()) enet_host_flush(host);

            ENetEvent event{};
            if (enet_host_service(host, &event, 1) <= 0) continue;
            if (event.type == ENET_EVENT_TYPE_CONNECT) {
                peer = event.peer;
                std::lock_guard guard(lock);
                connected = true;
                clientGone = false;
                connectData = event.data;
                changed.notify_all();
            } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                Bytes bytes(event.packet->data, event.packet->data + event.packet->dataLength);
                enet_packet_destroy(event.packet);
                receive(bytes);
            } else if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
                if (event.peer == peer) peer = nullptr;
                std::lock_guard guard(lock);
                clientGone = true;
                changed.notify_all();
            }
        }
    }

    void queue(Action action) {
        std::lock_guard guard(lock);
        actions.push_back(std::move(action));
    }
};

ControlServer::ControlServer(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->style = impl_->options.style;
}

ControlServer::~ControlServer() { stop(); }

void ControlServer::start() {
    Impl& s = *impl_;
    if (s.thread.joinable() || s.host || s.silentFd >= 0) return;
    if (s.options.silent) {
        // Takes the port so nothing else answers there, then never reads it.
        s.silentFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(s.options.port);
        if (s.silentFd < 0 || ::inet_pton(AF_INET, s.options.address.c_str(), &address.sin_addr) != 1 ||
            ::bind(s.silentFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (s.silentFd >= 0) ::close(s.silentFd);
            s.silentFd = -1;
            throw Error("boxsim: control port " + s.options.address + ":" + std::to_string(s.options.port) +
                        " could not be bound");
        }
        return;
    }
    static std::once_flag once;
    std::call_once(once, [] { enet_initialize(); });
    ENetAddress address{};
    if (enet_address_set_host_ip(&address, s.options.address.c_str()) != 0)
        throw Error("boxsim: bad control address " + s.options.address);
    address.port = s.options.port;
    s.host = enet_host_create(&address, 4, 16, 0, 0);
    if (!s.host)
        throw Error("boxsim: control port " + s.options.address + ":" + std::to_string(s.options.port) +
                    " could not be bound");
    s.thread = std::thread([&s] { s.run(); });
}

void ControlServer::stop() {
    Impl& s = *impl_;
    {
        std::lock_guard guard(s.lock);
        s.stopping = true;
    }
    if (s.thread.joinable()) s.thread.join();
    if (s.host) enet_host_destroy(s.host);
    s.host = nullptr;
    if (s.silentFd >= 0) ::close(s.silentFd);
    s.silentFd = -1;
}

std::vector<ControlServer::Message> ControlServer::messages() const {
    std::lock_guard guard(impl_->lock);
    return impl_->record;
}

bool ControlServer::waitFor(const std::function<bool(const std::vector<Message>&)>& done, double seconds) const {
    std::unique_lock lock(impl_->lock);
    return impl_->changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                   [&] { return done(impl_->record); });
}

bool ControlServer::waitConnected(double seconds) const {
    std::unique_lock lock(impl_->lock);
    return impl_->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return impl_->connected; });
}

bool ControlServer::waitClientGone(double seconds) const {
    std::unique_lock lock(impl_->lock);
    return impl_->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return impl_->clientGone; });
}

std::optional<std::uint32_t> ControlServer::connectData() const {
    std::lock_guard guard(impl_->lock);
    return impl_->connectData;
}

std::int64_t ControlServer::refused() const {
    std::lock_guard guard(impl_->lock);
    return impl_->refused;
}

void ControlServer::send(std::uint16_t type, Bytes payload) {
    if (!impl_->options.key) return sendPlain(type, std::move(payload));
    impl_->queue(SendAction{impl_->seal(type, payload)});
}

void ControlServer::sendPlain(std::uint16_t type, Bytes payload) {
    Bytes bytes;
    put16(bytes, type);
    put16(bytes, static_cast<std::uint16_t>(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    impl_->queue(SendAction{std::move(bytes)});
}

void ControlServer::sendRaw(Bytes bytes) { impl_->queue(SendAction{std::move(bytes)}); }

void ControlServer::sendRumble(std::uint16_t controller, std::uint16_t low, std::uint16_t high) {
    Bytes payload(4, 0);
    put16(payload, controller);
    put16(payload, low);
    put16(payload, high);
    send(0x010B, std::move(payload));
}

void ControlServer::setStyle(NonceStyle style) {
    std::lock_guard guard(impl_->lock);
    impl_->style = style;
}

void ControlServer::disconnect(std::uint32_t data) { impl_->queue(DisconnectAction{data}); }

void ControlServer::freeze() {
    std::unique_lock lock(impl_->lock);
    impl_->frozen = true;
    // Returns once the thread is out of its current service call, so nothing more is answered.
    if (impl_->thread.joinable())
        impl_->changed.wait(lock, [&] { return impl_->frozenSeen || impl_->stopping; });
}

} // namespace corvane::boxsim
