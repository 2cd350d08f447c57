#include "engine/session/TCPExchange.hpp"

#include <cmath>
#include <optional>

#include <pthread.h>

#include "engine/Deadline.hpp"
#include "platform/net/TcpConnection.hpp"

namespace corvane::stream::TCPExchange {
namespace {

constexpr std::size_t kReceiveLimit = 65536;

// The exchange proper, on the deadline runner's own thread; a stop ends every wait of the connection.
RTSP::Response exchange(const std::string& host, std::uint16_t port, const Bytes& request, std::stop_token stop) {
    pthread_setname_np(pthread_self(), "corvane.rtsp");
    platform::TcpConnection connection;
    try {
        connection.connect(host, port, std::nullopt, stop);
        connection.send(request, stop);
    } catch (const platform::TcpConnection::Error& error) {
        throw RTSP::Error::connection(error.what());
    }

    RTSP::ReplyParser parser;
    for (;;) {
        bool complete = false;
        Bytes piece;
        try {
            piece = connection.receive(kReceiveLimit, stop);
            complete = piece.empty();
        } catch (const platform::TcpConnection::Error& error) {
            if (error.kind == platform::TcpConnection::Error::Kind::cancelled)
                throw RTSP::Error::connection(error.what());
            // A delivery that carries an error ends the stream: judge what has arrived.
            complete = true;
        }
        // The parser refuses a reply past the size limit, so what it keeps stays bounded.
        if (auto response = parser.feed(piece, complete)) return std::move(*response);
    }
}

} // namespace

RTSP::Response send(const std::string& host, std::int64_t port, const Bytes& request, double timeoutSeconds,
                    const std::string& label, std::stop_token stop) {
    if (port < 1 || port > 65535)
        throw RTSP::Error::connection("port " + std::to_string(port) + " is outside 1...65535");
    // A limit already passed, or none that makes sense, times out at once.
    const double limit = std::isnan(timeoutSeconds) || timeoutSeconds < 0 ? 0.0 : timeoutSeconds;
    try {
        return withDeadline(
            limit, label,
            [&](std::stop_token bodyStop) {
                return exchange(host, static_cast<std::uint16_t>(port), request, bodyStop);
            },
            stop);
    } catch (const DeadlineExceeded&) {
        throw RTSP::Error::timeout(label);
    }
}

} // namespace corvane::stream::TCPExchange
