#include "platform/http/Http.hpp"

#include "tests/platform/http/LoopbackServers.hpp"
#include "tests/support/RawHttpServer.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;
using test::LoopbackServer;

constexpr int kPort = 48089;

HttpError::Kind failureOf(const HttpRequest& request, std::stop_token stop = {}) {
    try {
        Http::get(request, stop);
    } catch (const HttpError& error) {
        return error.kind;
    }
    ADD_FAILURE() << "the request succeeded";
    return HttpError::Kind::other;
}

class HttpTest : public ::testing::Test {
protected:
    HttpRequest requestFor(const std::string& path) {
        HttpRequest request;
        request.host = address;
        request.port = kPort;
        request.path = path;
        return request;
    }

    // Declared before the server, so it outlives every handler; set before the server stops.
    void TearDown() override { release = true; }

    std::atomic<bool> release{false};
    std::atomic<bool> arrived{false};
    std::string address = test::uniqueLoopbackAddress();
    LoopbackServer server;
};

TEST_F(HttpTest, QueryKeepsOrderRepeatsAndEveryCharacter) {
    server.on("/serverinfo", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<root/>", "text/xml");
    });
    server.start(address, kPort);

    auto request = requestFor("/serverinfo");
    request.query = {{"uniqueid", "0123ABCD"}, {"b", "1"}, {"tricky", "a b+c;d&e=f#g%h/\xC3\xA9"}, {"b", "2"}, {"empty", ""}};
    const HttpResponse response = Http::get(request);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "<root/>");

    const auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target,
              "/serverinfo?uniqueid=0123ABCD&b=1&tricky=a%20b%2Bc%3Bd%26e%3Df%23g%25h%2F%C3%A9&b=2&empty=");
    // The server's decoding gets back exactly what was sent.
    ASSERT_EQ(seen[0].params.count("tricky"), 1u);
    EXPECT_EQ(seen[0].params.find("tricky")->second, "a b+c;d&e=f#g%h/\xC3\xA9");
    EXPECT_EQ(seen[0].params.count("b"), 2u);
    EXPECT_EQ(Http::url(request).rfind("http://" + address + ":48089/serverinfo?", 0), 0u);
}

TEST(HttpCodingTest, CodingsNeverAskedForAreRefused) {
    // 100000 "a" in gzip: 133 bytes that must not become a body of their own choosing.
    const std::string gzip = std::string("\x1f\x8b\x08\0\0\0\0\0\x02\x03\xed\xc1\x31\x01\0\0\0\xc2\xa0\xac\xeb\x5f\xc2"
                                         "\x1a\x1e\x40\x01", 27) +
                             std::string(96, '\0') + std::string("\xaf\x06\x87\xfa\xe2\x1b\xa0\x86\x01\0", 10);
    const auto chunked = [](const std::string& body) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", body.size());
        return size + body + "\r\n0\r\n\r\n";
    };
    const auto sized = [](const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body; };
    const struct {
        std::string headAndBody;
        bool accepted;
    } rows[] = {
        {"Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(gzip), false},
        {"Transfer-Encoding: GZIP\r\nContent-Length: 133\r\n\r\n" + gzip, false},
        {"Content-Encoding: gzip\r\n" + sized(gzip), false},
        {"Content-Encoding: identity, deflate\r\n" + sized("x"), false},
        {"Transfer-Encoding: chunked\r\n\r\n" + chunked("plain"), true},
        {"Content-Encoding: identity\r\n" + sized("plain"), true},
    };
    const std::string address = test::uniqueLoopbackAddress();
    for (const auto& row : rows) {
        test::RawHttpServer server(address, kPort, [&](int fd, const std::string&) {
            test::RawHttpServer::sendAll(fd, "HTTP/1.1 200 OK\r\n" + row.headAndBody);
        });
        HttpRequest request;
        request.host = address;
        request.port = kPort;
        HttpReceiver receiver;
        std::string received;
        receiver.onBody = [&](ByteView piece) { received.append(piece.begin(), piece.end()); };
        for (const HttpReceiver* through : {static_cast<const HttpReceiver*>(nullptr), static_cast<const HttpReceiver*>(&receiver)}) {
            received.clear();
            try {
                const auto body = Http::perform(request, {}, through).body;
                EXPECT_TRUE(row.accepted);
                EXPECT_EQ(through ? received : std::string(body.begin(), body.end()), "plain");
            } catch (const HttpError& error) {
                EXPECT_FALSE(row.accepted);
                EXPECT_EQ(error.kind, HttpError::Kind::other);
                EXPECT_EQ(received, "");
            }
        }
    }
    // An empty text escapes to nothing, whatever follows it in memory.
    const std::string_view text = "abc def";
    EXPECT_EQ(Http::escape(text.substr(0, 0)), "");
    EXPECT_EQ(Http::escape(text.substr(3)), "%20def");
}

TEST_F(HttpTest, RefusesBodiesOverTheCap) {
    for (const int size : {1000, 4000, (1 << 20) + 1})
        server.on("/" + std::to_string(size), [size](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(static_cast<std::size_t>(size), 'x'), "text/plain");
        });
    // No length announced: the cap must hold while the body streams in.
    server.on("/chunked", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
            const std::string piece(700, 'y');
            for (int i = 0; i < 100 && sink.is_writable(); ++i) sink.write(piece.data(), piece.size());
            sink.done();
            return true;
        });
    });
    // Announces 1 GiB; the client must give up at the header, not after reading it.
    std::atomic<std::size_t> hugeSent{0};
    server.on("/huge", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content_provider(std::size_t(1) << 30, "text/plain",
                                      [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                          const std::string piece(std::min<std::size_t>(length, 65536), 'z');
                                          hugeSent += piece.size();
                                          return sink.write(piece.data(), piece.size());
                                      });
    });
    server.start(address, kPort);

    auto request = requestFor("/1000");
    request.maxBodyBytes = 1000;
    EXPECT_EQ(Http::get(request).body.size(), 1000u);
    request.path = "/4000";
    EXPECT_EQ(failureOf(request), HttpError::Kind::tooLarge);
    request.path = "/chunked";
    EXPECT_EQ(failureOf(request), HttpError::Kind::tooLarge);
    EXPECT_EQ(failureOf(requestFor("/1048577")), HttpError::Kind::tooLarge);  // 1 MiB unless asked otherwise

    request.path = "/huge";
    request.maxBodyBytes = 1 << 20;
    EXPECT_EQ(failureOf(request), HttpError::Kind::tooLarge);
    server.stop();
    EXPECT_LT(hugeSent.load(), std::size_t(64) << 20);
}

TEST_F(HttpTest, StopTokenCancelsARequestInFlight) {
    server.on("/slow", [this](const httplib::Request&, httplib::Response& response) {
        arrived = true;
        for (int i = 0; i < 1000 && !release; ++i) std::this_thread::sleep_for(10ms);
        response.set_content("<late/>", "text/xml");
    });
    server.start(address, kPort);

    std::stop_source stop;
    std::thread canceller([&] {
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (!arrived && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(1ms);
        stop.request_stop();
    });
    try {
        Http::get(requestFor("/slow"), stop.get_token());
        ADD_FAILURE() << "not cancelled";
    } catch (const HttpError& error) {
        EXPECT_EQ(error.kind, HttpError::Kind::cancelled);
        EXPECT_STREQ(error.what(), "cancelled");
    }
    canceller.join();
    release = true;
}

TEST_F(HttpTest, BadRequestsRefusedConnectionsAndNoProxy) {
    EXPECT_EQ(failureOf(requestFor("/serverinfo")), HttpError::Kind::cannotConnect);  // nothing listens yet
    auto request = requestFor("/serverinfo");
    request.port = 70000;
    EXPECT_EQ(failureOf(request), HttpError::Kind::badUrl);
    EXPECT_EQ(failureOf(requestFor("serverinfo")), HttpError::Kind::badUrl);

    server.on("/serverinfo", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("<root/>", "text/xml");
    });
    server.start(address, kPort);
    // A proxy that does not exist: any use of it would fail the request.
    const char* proxies[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
    for (const char* name : proxies) setenv(name, "http://127.0.0.1:9", 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    HttpResponse response;
    EXPECT_NO_THROW(response = Http::get(requestFor("/serverinfo")));
    for (const char* name : proxies) unsetenv(name);
    EXPECT_EQ(response.status, 200);
}

} // namespace
} // namespace corvane::platform
