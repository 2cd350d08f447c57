#include "platform/http/Http.hpp"
#include "tests/platform/http/LoopbackServers.hpp"
#include "tests/support/RawHttpServer.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <tuple>
#include <sys/stat.h>

namespace corvane::platform {
namespace {

using namespace std::chrono_literals;

constexpr int kPort = 48089;

std::optional<HttpError::Kind> failureOf(const HttpRequest& request, std::stop_token stop = {}) {
    const auto error = test::errorOf<HttpError>([&] { Http::get(request, stop); });
    return error ? std::optional(error->kind) : std::nullopt;
}

class HttpTest : public ::testing::Test {
protected:
    HttpRequest requestFor(const std::string& path, const std::string& method = "GET") {
        HttpRequest request;
        request.host = address;
        request.port = kPort;
        request.path = path;
        request.method = method;
        return request;
    }
    // Declared before the server, so it outlives every handler; set before the server stops.
    void TearDown() override { release = true; }
    std::atomic<bool> release{false};
    std::atomic<bool> arrived{false};
    std::string address = test::uniqueLoopbackAddress();
    test::LoopbackServer server;
};

TEST_F(HttpTest, QueryKeepsOrderRepeatsAndEveryCharacterWithoutAProxy) {
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
    request = requestFor("/serverinfo");
    request.query = {{"uniqueid", "0123ABCD"}, {"b", "1"}, {"tricky", "a b+c;d&e=f#g%h/\xC3\xA9"}, {"b", "2"}, {"empty", ""}};
    HttpResponse response;
    EXPECT_NO_THROW(response = Http::get(request));
    for (const char* name : proxies) unsetenv(name);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "<root/>");
    const auto seen = server.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/serverinfo?uniqueid=0123ABCD&b=1&tricky=a%20b%2Bc%3Bd%26e%3Df%23g%25h%2F%C3%A9&b=2&empty=");
    // The server's decoding gets back exactly what was sent.
    ASSERT_EQ(seen[0].params.count("tricky"), 1u);
    EXPECT_EQ(seen[0].params.find("tricky")->second, "a b+c;d&e=f#g%h/\xC3\xA9");
    EXPECT_EQ(seen[0].params.count("b"), 2u);
    EXPECT_EQ(Http::url(request).rfind("http://" + address + ":48089/serverinfo?", 0), 0u);
}

TEST_F(HttpTest, EncodedPathsAndWholeUrls) {
    auto request = requestFor("/v1/user/outbox/a%2Fb/done");
    request.pathEncoded = true;
    EXPECT_EQ(Http::url(request), "http://" + address + ":48089/v1/user/outbox/a%2Fb/done");
    for (const char* bad : {"/a b", "/a%2", "/a%zz", "/a\n", "/a?b", "/a#b"}) {
        request.path = bad;
        EXPECT_THROW(Http::url(request), HttpError) << bad;
    }
    HttpRequest whole;
    whole.url = "https://example.org/Corvane.zip";
    EXPECT_EQ(Http::url(whole), whole.url);
    for (const char* bad : {"ftp://example.org/x", "file:///etc/passwd", "http://a b/", "http://a/\r\n"}) {
        whole.url = bad;
        EXPECT_THROW(Http::url(whole), HttpError) << bad;
    }
    // An empty text escapes to nothing, whatever follows it in memory.
    const std::string_view text = "abc def";
    EXPECT_EQ(Http::escape(text.substr(0, 0)), "");
    EXPECT_EQ(Http::escape(text.substr(3)), "%20def");
}

TEST_F(HttpTest, PostAndPutCarryExactlyTheCallersBodyAndHeaders) {
    std::mutex mutex;
    std::vector<std::tuple<std::string, std::string, std::string, bool>> seen;  // method, type, body, has Expect
    const auto record = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        seen.emplace_back(request.method, request.get_header_value("Content-Type"), request.body, request.has_header("Expect"));
        response.set_content("ok", "text/plain");
    };
    server.server().Post("/p", record);
    server.server().Put("/u", record);
    server.start(address, kPort);
    auto json = requestFor("/p", "POST");
    json.body = bytesOf(R"({"a":1})");
    json.headers = {{"Content-Type", "application/json"}};
    EXPECT_EQ(Http::perform(json).status, 200);
    EXPECT_EQ(Http::perform(requestFor("/p", "POST")).status, 200);  // no body: no made-up content type
    test::TempDir folder;
    const auto file = folder.path() / "body.bin";
    const std::string content(5 << 20, 'q');
    std::ofstream(file, std::ios::binary) << content;
    auto put = requestFor("/u", "PUT");
    put.bodyFile = file;
    std::vector<std::uint64_t> sent;
    put.onSent = [&](std::uint64_t n) { sent.push_back(n); };
    EXPECT_EQ(Http::perform(put).status, 200);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(std::pair(sent.back(), std::is_sorted(sent.begin(), sent.end())), std::pair(std::uint64_t(content.size()), true));
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0], std::make_tuple(std::string("POST"), std::string("application/json"), std::string(R"({"a":1})"), false));
        EXPECT_EQ(seen[1], std::make_tuple(std::string("POST"), std::string(), std::string(), false));
        EXPECT_EQ(std::pair(std::get<2>(seen[2]).size(), std::get<3>(seen[2])), std::pair(content.size(), false));
    }
    // A header that would split the request, a missing file, a folder or a FIFO (opening it must not wait for
    // a writer) fails before anything is sent.
    auto injected = requestFor("/p", "POST");
    injected.headers = {{"X-A", "1\r\nX-B: 2"}};
    EXPECT_THROW(Http::perform(injected), HttpError);
    const auto fifo = folder.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& body : {folder.path() / "missing", folder.path(), fifo}) {
        auto bad = requestFor("/u", "PUT");
        bad.bodyFile = body;
        EXPECT_THROW(Http::perform(bad), HttpError) << body;
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(HttpTest, ReceiverSeesHeadThenPiecesAndItsExceptionsComeOut) {
    server.on("/file", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(200000, 'f'), "application/octet-stream");
    });
    server.on("/empty404", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    server.start(address, kPort);
    long status = 0;
    std::optional<std::uint64_t> announced;
    std::uint64_t received = 0;
    HttpReceiver receiver;
    receiver.onHead = [&](long s, std::optional<std::uint64_t> length) {
        EXPECT_EQ(received, 0u);
        status = s;
        announced = length;
    };
    receiver.onBody = [&](ByteView piece) { received += piece.size(); };
    const auto response = Http::perform(requestFor("/file"), {}, &receiver);
    EXPECT_EQ(std::pair(response.status, response.body.size()), std::pair(200L, std::size_t(0)));
    EXPECT_EQ(std::tuple(status, announced, received), std::tuple(200L, std::optional<std::uint64_t>(200000), std::uint64_t(200000)));
    // Without a body the head still comes, at the end.
    status = 0;
    received = 0;
    Http::perform(requestFor("/empty404"), {}, &receiver);
    EXPECT_EQ(status, 404);
    receiver.onBody = [](ByteView) { throw std::runtime_error("disk full"); };
    EXPECT_THROW(Http::perform(requestFor("/file"), {}, &receiver), std::runtime_error);
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
    const struct { std::string headAndBody; bool accepted; } rows[] = {
        {"Transfer-Encoding: gzip, chunked\r\n\r\n" + chunked(gzip), false},
        {"Transfer-Encoding: GZIP\r\nContent-Length: 133\r\n\r\n" + gzip, false},
        {"Content-Encoding: gzip\r\n" + sized(gzip), false},
        {"Content-Encoding: identity, deflate\r\n" + sized("x"), false},
        {"Transfer-Encoding: chunked\r\n\r\n" + chunked("plain"), true},
        {"Content-Encoding: identity\r\n" + sized("plain"), true},
    };
    HttpRequest request;
    request.host = test::uniqueLoopbackAddress();
    request.port = kPort;
    for (const auto& row : rows) {
        test::RawHttpServer server(request.host, kPort, [&](int fd, const std::string&) {
            test::RawHttpServer::sendAll(fd, "HTTP/1.1 200 OK\r\n" + row.headAndBody);
        });
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
}

TEST_F(HttpTest, RefusesBodiesOverTheCap) {
    for (const std::size_t size : {1000, 4000, (1 << 20) + 1})
        server.on("/" + std::to_string(size), [size](const httplib::Request&, httplib::Response& response) { response.set_content(std::string(size, 'x'), "text/plain"); });
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
        response.set_content_provider(std::size_t(1) << 30, "text/plain", [&](std::size_t, std::size_t length, httplib::DataSink& sink) {
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
    std::jthread canceller([&] {
        for (int i = 0; i < 10000 && !arrived; ++i) std::this_thread::sleep_for(1ms);
        stop.request_stop();
    });
    const auto error = test::errorOf<HttpError>([&] { Http::get(requestFor("/slow"), stop.get_token()); });
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(error->what(), "cancelled");
    EXPECT_EQ(error->kind, HttpError::Kind::cancelled);
    EXPECT_FALSE(error->certificateRejected);  // stopped, not refused
}

} // namespace
} // namespace corvane::platform
