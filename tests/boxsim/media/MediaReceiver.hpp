#pragma once

// The client's side of the box's media ports, written for the box's tests from the datagram formats alone:
// a UDP socket that pings and collects, and a frame assembler for loss-free runs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Bytes.hpp"

namespace corvane::boxsim::test {

// A UDP socket on a loopback address that pings the box's ports and keeps what comes back, by source port.
class UdpClient {
public:
    explicit UdpClient(const std::string& address) : box_(address) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        int size = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~UdpClient() { ::close(fd_); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    void ping(std::uint16_t port, const std::string& payload = "PING") {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, box_.c_str(), &to.sin_addr);
        ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // Receives until `done` holds (checked after each datagram) or the time is up; pings both ports every
    // 0.5 s meanwhile when asked to, as a client does.
    bool receiveUntil(const std::function<bool()>& done, double seconds, std::uint16_t videoPort = 0,
                      std::uint16_t audioPort = 0) {
        using Clock = std::chrono::steady_clock;
        const auto end = Clock::now() + std::chrono::duration<double>(seconds);
        auto lastPing = Clock::now();
        while (!done()) {
            const auto now = Clock::now();
            if (now >= end) return false;
            if (videoPort && now - lastPing >= std::chrono::milliseconds(500)) {
                ping(videoPort);
                ping(audioPort);
                lastPing = now;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            receiveOne();
        }
        return true;
    }

    // Whatever is queued now, without waiting.
    void drain() {
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) receiveOne();
    }

    std::map<std::uint16_t, std::vector<Bytes>> byPort;

private:
    void receiveOne() {
        std::uint8_t buffer[65536];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n >= 0) byPort[ntohs(from.sin_port)].emplace_back(buffer, buffer + n);
    }

    std::string box_;
    int fd_ = -1;
};

inline std::uint32_t le32(const Bytes& d, std::size_t at) {
    return std::uint32_t(d[at]) | std::uint32_t(d[at + 1]) << 8 | std::uint32_t(d[at + 2]) << 16 |
           std::uint32_t(d[at + 3]) << 24;
}

struct AssembledFrame {
    std::uint32_t index = 0;
    std::uint32_t timestamp = 0;
    bool keyframeFlag = false;  // the frame header's frame type
    Bytes accessUnit;
};

// Frames whose data shards all arrived, in index order (no recovery: for loss-free runs).
inline std::vector<AssembledFrame> assembleFrames(const std::vector<Bytes>& datagrams) {
    struct Pending {
        int lastBlock = 0;
        std::uint32_t timestamp = 0;
        std::map<int, int> dataShards;                          // block -> count
        std::map<std::pair<int, int>, Bytes> data;              // (block, index) -> payload
    };
    std::map<std::uint32_t, Pending> frames;
    for (const Bytes& d : datagrams) {
        if (d.size() < 33) continue;
        const std::uint32_t fec = le32(d, 28);
        const int count = static_cast<int>(fec >> 22), index = static_cast<int>((fec >> 12) & 0x3FF);
        Pending& p = frames[le32(d, 20)];
        p.timestamp = std::uint32_t(d[4]) << 24 | std::uint32_t(d[5]) << 16 | std::uint32_t(d[6]) << 8 | d[7];
        p.lastBlock = d[27] >> 6;
        const int block = (d[27] >> 4) & 3;
        p.dataShards[block] = count;
        if (index < count) p.data[{block, index}] = Bytes(d.begin() + 32, d.end());
    }
    std::vector<AssembledFrame> out;
    for (auto& [index, p] : frames) {
        int expected = 0;
        bool whole = true;
        for (int b = 0; b <= p.lastBlock; ++b) {
            if (!p.dataShards.count(b)) whole = false;
            else expected += p.dataShards[b];
        }
        if (!whole || static_cast<int>(p.data.size()) != expected) continue;
        Bytes payload;
        std::size_t last = 0;
        for (auto& [key, shard] : p.data) {
            payload.insert(payload.end(), shard.begin(), shard.end());
            last = shard.size();
        }
        if (payload.size() < 9 || payload[0] != 1) continue;
        const std::size_t meaningful = static_cast<std::size_t>(payload[4] | payload[5] << 8);
        AssembledFrame f;
        f.index = index;
        f.timestamp = p.timestamp;
        f.keyframeFlag = payload[3] == 2;
        f.accessUnit.assign(payload.begin() + 8, payload.end() - static_cast<std::ptrdiff_t>(last - meaningful));
        out.push_back(std::move(f));
    }
    return out;
}

// Audio datagrams (payload type 97) among `datagrams`.
inline std::vector<Bytes> audioPayloads(const std::vector<Bytes>& datagrams) {
    std::vector<Bytes> out;
    for (const Bytes& d : datagrams)
        if (d.size() >= 13 && (d[1] & 0x7F) == 97) out.emplace_back(d.begin() + 12, d.end());
    return out;
}

} // namespace corvane::boxsim::test
