#include "engine/session/ControlChannel.hpp"

#include "engine/EngineLog.hpp"
#include "engine/ThreadSupport.hpp"
#include "engine/session/LittleEndian.hpp"
#include "engine/session/WakeSignal.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include <enet/enet.h>
#include <enet/time.h>
#include <poll.h>
#include <pthread.h>

namespace corvane::stream {

using Clock = std::chrono::steady_clock;

struct ControlChannel::State {
    std::string address;
    std::uint16_t port = 0;
    std::uint32_t connectData = 0;

    // Touched only by the control thread once connect has started it.
    std::optional<ControlCrypto> crypto;
    std::uint32_t seq = 0;

    // Wakes the control thread from its wait: a message was queued or a stop asked for.
    WakeSignal wake;

    // Everything below is guarded by `lock`, held only to copy, append or swap.
    std::mutex lock;
    std::condition_variable_any changed;
    std::vector<std::pair<std::uint16_t, Bytes>> outgoing;
    Stats stats;
    PeerSettings peerSettings;
    bool stopRequested = false;
    bool started = false;
    bool ended = false;
    bool connectDone = false;          // the connect waiter was completed (at most once)
    std::optional<Error> connectError; // its result when it failed
    MessageHandler onMessage;
    DisconnectHandler onDisconnect;
    std::thread::id threadId;
};

namespace {

using State = ControlChannel::State;

void completeConnect(State& s, std::optional<ControlChannel::Error> error) {
    std::lock_guard guard(s.lock);
    if (s.connectDone) return;
    s.connectDone = true;
    s.connectError = std::move(error);
    s.changed.notify_all();
}

// The longest the control thread sleeps with nothing due: a bound in case ENet keeps a timer not covered
// below, long enough that an idle channel costs a few wake-ups a second.
constexpr int kMaxWaitMs = 250;

int millisecondsUntil(Clock::time_point at) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(at - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, kMaxWaitMs));
}

// When ENet next needs servicing without anything arriving: it has no call that says so, so this follows
// the timers its service runs: the resend and time-out check of reliable commands in flight, and the
// keep-alive ping once nothing is in flight and the peer was silent for its ping interval. Commands held
// back by a full window go out as acknowledgements arrive, which wakes the wait anyway.
int enetDueInMs(const ENetPeer* peer) {
    const enet_uint32 now = enet_time_get();
    const auto until = [now](enet_uint32 at) {
        if (!ENET_TIME_LESS(now, at)) return 0;
        return static_cast<int>(std::min<enet_uint32>(ENET_TIME_DIFFERENCE(at, now), kMaxWaitMs));
    };
    int due = kMaxWaitMs;
    if (!enet_list_empty(&peer->sentReliableCommands))
        due = until(peer->nextTimeout);
    else if (peer->state == ENET_PEER_STATE_CONNECTED)
        due = until(peer->lastReceiveTime + peer->pingInterval);
    if (!enet_list_empty(&peer->outgoingCommands) || !enet_list_empty(&peer->acknowledgements)) due = std::min(due, 10);
    return due;
}

// Sleeps until the box sends something, the wake signal is raised or `timeoutMs` passed. At least 1 ms, so a
// timer that ENet does not act on when expected costs a wake-up a millisecond, never a busy loop.
void waitForWork(ENetHost* host, const WakeSignal& wake, int timeoutMs) {
    pollfd fds[2] = {{host->socket, POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    if (::poll(fds, 2, std::max(timeoutMs, 1)) > 0 && (fds[1].revents & POLLIN)) wake.drain();
}

void copyPeerStats(State& s, const ENetPeer* peer) {
    std::lock_guard guard(s.lock);
    s.stats.rttMs = peer->roundTripTime;
    s.stats.rttVarianceMs = peer->roundTripTimeVariance;
    s.stats.packetsLost = peer->packetsLost;
}

// Ends the channel: every exit of the thread passes here exactly once.
void endStep(State& s, ENetHost* host) {
    if (host) enet_host_destroy(host);
    std::lock_guard guard(s.lock);
    s.stopRequested = true;
    s.ended = true;
    s.outgoing.clear();
    s.changed.notify_all();
}

void handleOn(State& s, ByteView bytes) {
    std::uint16_t type = 0;
    Bytes payload;
    if (s.crypto && bytes.size() >= 2 && u16LE(bytes, 0) == 1) {
        ControlCrypto::Opened opened;
        try {
            opened = s.crypto->open(bytes, true);
        } catch (const ControlCrypto::Error& error) {
            std::int64_t failures = 0;
            {
                std::lock_guard guard(s.lock);
                failures = ++s.stats.decryptFailures;
            }
            if (failures <= 3)
                EngineLog::write("control: could not decrypt a " + std::to_string(bytes.size()) +
                                 " byte message: " + std::string(ControlCrypto::toString(error.kind)));
            return;
        }
        if (opened.style != s.crypto->ivStyle) {
            const auto previous = s.crypto->ivStyle;
            std::string line = "control: the box answered with encryption " +
                               std::string(ControlCrypto::rawValue(opened.style)) + ", not " +
                               std::string(ControlCrypto::rawValue(previous));
            // Falling back to v1 means nonces repeat every 256 messages: worth a warning, not just a note.
            if (opened.style == ControlCrypto::IVStyle::v1) line = "WARNING: " + line;
            EngineLog::write(line);
            s.crypto->ivStyle = opened.style;
        }
        type = opened.type;
        payload = std::move(opened.payload);
    } else {
        if (bytes.size() < 4) return;
        type = u16LE(bytes, 0);
        const std::size_t count = std::min<std::size_t>(u16LE(bytes, 2), bytes.size() - 4);
        payload = sub(bytes, 4, count);
    }

    bool first = false;
    ControlChannel::MessageHandler handler;
    {
        std::lock_guard guard(s.lock);
        ++s.stats.received;
        first = ++s.stats.receivedTypes[type] == 1;
        handler = s.onMessage;
    }
    if (first) {
        char line[96];
        std::snprintf(line, sizeof line, "control: first message of type 0x%04x (%d bytes)", unsigned(type),
                      int(payload.size()));
        EngineLog::write(line);
    }
    if (handler) handler(type, payload);
}

// Seals and sends everything queued. Returns false when the sequence space ran out and the channel must end.
bool flushOutgoing(State& s, ENetHost* host, ENetPeer* peer) {
    std::vector<std::pair<std::uint16_t, Bytes>> batch;
    {
        std::lock_guard guard(s.lock);
        batch.swap(s.outgoing);
    }
    bool exhausted = false;
    for (auto& [type, payload] : batch) {
        Bytes bytes;
        try {
            if (s.crypto) {
                // Never wrap: sequence number 0 after 4294967295 would bring back nonces already used
                // under this key. The session has to end (and draw a new key) instead.
                if (s.seq == std::numeric_limits<std::uint32_t>::max()) {
                    exhausted = true;
                    break;
                }
                ++s.seq;
                bytes = s.crypto->seal(type, payload, s.seq, false);
            } else {
                bytes = ControlCrypto::plain(type, payload);
            }
        } catch (const ControlCrypto::Error&) {
            continue; // dropped; a sequence number taken for it stays used
        }
        ENetPacket* packet = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
        if (!packet) continue;
        if (enet_peer_send(peer, 0, packet) < 0) {
            if (packet->referenceCount == 0) enet_packet_destroy(packet);
            continue;
        }
        std::lock_guard guard(s.lock);
        ++s.stats.sent;
    }
    if (!batch.empty()) enet_host_flush(host);
    copyPeerStats(s, peer);
    return !exhausted;
}

void run(const std::shared_ptr<State>& state, double timeoutSeconds) {
    State& s = *state;
    pthread_setname_np(pthread_self(), "corvane.control");
    {
        std::lock_guard guard(s.lock);
        s.threadId = std::this_thread::get_id();
    }

    ENetHost* host = enet_host_create(nullptr, 1, 16, 0, 0);
    if (!host) {
        completeConnect(s, ControlChannel::Error::setup("enet_host_create"));
        endStep(s, nullptr);
        return;
    }
    ENetAddress address{};
    if (enet_address_set_host_ip(&address, s.address.c_str()) != 0) {
        // Without this check ENet would connect to whatever the address field happened to hold.
        completeConnect(s, ControlChannel::Error::setup("enet_address_set_host_ip"));
        endStep(s, host);
        return;
    }
    address.port = s.port;
    ENetPeer* peer = enet_host_connect(host, &address, 16, s.connectData);
    if (!peer) {
        completeConnect(s, ControlChannel::Error::setup("enet_host_connect"));
        endStep(s, host);
        return;
    }
    enet_peer_ping_interval(peer, 500);
    enet_peer_timeout(peer, 32, 5000, 10000);
    {
        std::lock_guard guard(s.lock);
        s.peerSettings = {peer->pingInterval, peer->timeoutLimit, peer->timeoutMinimum, peer->timeoutMaximum};
    }

    const auto now = Clock::now();
    const double limit = std::isnan(timeoutSeconds) ? 0.0 : std::max(0.0, timeoutSeconds);
    const auto deadline = limit > 1e9 ? Clock::time_point::max()
                                      : now + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(limit));
    auto disconnectStart = Clock::time_point::max();
    bool connected = false, disconnectSent = false, closing = false;

    for (;;) {
        bool stop = false;
        {
            std::lock_guard guard(s.lock);
            stop = s.stopRequested;
        }
        if (stop) {
            if (!connected) {
                completeConnect(s, ControlChannel::Error::connectTimeout());
                break;
            }
            if (!disconnectSent) {
                // What was queued before the stop still goes, ahead of the disconnect. ENet sends that once
                // all of it is acknowledged: a plain disconnect would drop whatever is still in flight.
                (void)flushOutgoing(s, host, peer);
                enet_peer_disconnect_later(peer, 0);
                disconnectStart = Clock::now();
                disconnectSent = true;
            }
            if (Clock::now() - disconnectStart > std::chrono::seconds(1)) {
                enet_peer_reset(peer);
                EngineLog::write("control: closed (no disconnect reply within 1 s)");
                break;
            }
            closing = true;
        } else if (connected) {
            if (!flushOutgoing(s, host, peer)) {
                EngineLog::write("control: sequence numbers used up; closing the channel");
                ControlChannel::DisconnectHandler handler;
                {
                    std::lock_guard guard(s.lock);
                    s.stopRequested = true;
                    handler = s.onDisconnect;
                }
                if (handler) handler("the control channel used up its sequence numbers");
                continue;
            }
        } else if (Clock::now() > deadline) {
            enet_peer_reset(peer);
            completeConnect(s, ControlChannel::Error::connectTimeout());
            break;
        }

        // ENet does its work (acknowledgements, resends, pings, sending what was queued) within the service
        // call; the thread then sleeps until the box sends, a message is queued or a stop is asked for, or
        // until ENet's or the channel's own next timer.
        ENetEvent event{};
        const int result = enet_host_service(host, &event, 0);
        if (result < 0) EngineLog::write("control: enet_host_service error");
        if (result <= 0) {
            int waitMs = enetDueInMs(peer);
            if (!connected) waitMs = std::min(waitMs, millisecondsUntil(deadline));
            if (disconnectSent)
                waitMs = std::min(waitMs, millisecondsUntil(disconnectStart + std::chrono::seconds(1)) + 1);
            waitForWork(host, s.wake, waitMs);
            continue;
        }
        if (event.type == ENET_EVENT_TYPE_CONNECT) {
            completeConnect(s, std::nullopt);
            connected = true;
        } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            Bytes bytes(event.packet->data, event.packet->data + event.packet->dataLength);
            enet_packet_destroy(event.packet);
            handleOn(s, bytes);
            copyPeerStats(s, peer);
        } else if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
            const std::uint32_t data = event.data;
            if (closing) {
                EngineLog::write("control: closed");
            } else if (connected) {
                EngineLog::write("control: the box closed the channel (data " + std::to_string(data) + ")");
                ControlChannel::DisconnectHandler handler;
                {
                    std::lock_guard guard(s.lock);
                    handler = s.onDisconnect;
                }
                if (handler) handler("the box closed the control channel (" + std::to_string(data) + ")");
            } else {
                completeConnect(s, ControlChannel::Error::connectTimeout());
            }
            break;
        }
    }
    endStep(s, host);
}

std::shared_ptr<State> makeState() {
    try {
        return std::make_shared<State>();
    } catch (const std::system_error&) {
        throw ControlChannel::Error::setup("eventfd");
    }
}

} // namespace

ControlChannel::ControlChannel(std::string address, std::int64_t port, std::uint32_t connectData,
                               std::optional<Bytes> key, ControlCrypto::IVStyle ivStyle)
    : state_(makeState()) {
    if (port < 0 || port > 65535) throw Error::setup("port " + std::to_string(port) + " is not a 16-bit port");
    state_->address = std::move(address);
    state_->port = static_cast<std::uint16_t>(port);
    state_->connectData = connectData;
    if (key) state_->crypto.emplace(*key, ivStyle);
}

ControlChannel::~ControlChannel() {
    {
        std::lock_guard guard(state_->lock);
        state_->stopRequested = true;
    }
    state_->wake.signal();
    std::lock_guard join(joinLock_);
    // Released from its own callback: the thread holds the state and ends after the callback returns.
    joinUnlessSelf(thread_);
}

const std::string& ControlChannel::address() const { return state_->address; }
std::uint16_t ControlChannel::port() const { return state_->port; }
std::uint32_t ControlChannel::connectData() const { return state_->connectData; }

void ControlChannel::initOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (enet_initialize() != 0) throw Error::setup("enet_initialize");
    });
}

void ControlChannel::connect(double timeoutSeconds, std::stop_token stop) {
    initOnce();
    State& s = *state_;
    {
        std::lock_guard guard(s.lock);
        if (s.started) throw std::logic_error("ControlChannel::connect called twice");
        s.started = true;
        s.onMessage = onMessage;
        s.onDisconnect = onDisconnect;
    }
    {
        std::lock_guard join(joinLock_);
        try {
            thread_ = std::thread([state = state_, timeoutSeconds] { run(state, timeoutSeconds); });
        } catch (const std::system_error&) {
            endStep(s, nullptr);
            throw Error::setup("thread");
        }
        std::lock_guard guard(s.lock);
        s.threadId = thread_.get_id();
    }

    std::optional<Error> error;
    {
        std::unique_lock lock(s.lock);
        if (!s.changed.wait(lock, stop, [&] { return s.connectDone; })) {
            s.stopRequested = true; // a stop before the connection ends it with connectTimeout
            s.wake.signal();
            s.changed.wait(lock, [&] { return s.connectDone; });
        }
        error = s.connectError;
    }
    if (error) {
        // A failed connect leaves nothing running.
        std::lock_guard join(joinLock_);
        if (thread_.joinable()) thread_.join();
        throw *error;
    }
}

void ControlChannel::send(std::uint16_t type, Bytes payload) {
    {
        std::lock_guard guard(state_->lock);
        // Nothing queued after a stop is ever sent, so it is not kept either.
        if (state_->stopRequested || state_->ended) return;
        state_->outgoing.emplace_back(type, std::move(payload));
    }
    state_->wake.signal();
}

ControlChannel::Stats ControlChannel::stats() const {
    std::lock_guard guard(state_->lock);
    return state_->stats;
}

ControlChannel::PeerSettings ControlChannel::peerSettings() const {
    std::lock_guard guard(state_->lock);
    return state_->peerSettings;
}

void ControlChannel::close() {
    State& s = *state_;
    {
        std::unique_lock lock(s.lock);
        if (!s.started) return;
        s.stopRequested = true;
        s.wake.signal();
        // On the control thread (from a callback) waiting would wait for itself: the request is enough.
        if (s.threadId == std::this_thread::get_id()) return;
        s.changed.wait(lock, [&] { return s.ended; });
    }
    std::lock_guard join(joinLock_);
    if (thread_.joinable()) thread_.join();
}

void ControlChannel::handle(ByteView bytes) {
    {
        std::lock_guard guard(state_->lock);
        if (!state_->started) state_->onMessage = onMessage;
    }
    handleOn(*state_, bytes);
}

void ControlChannel::overrideSequenceForTest(std::uint32_t last) { state_->seq = last; }

} // namespace corvane::stream
