#include "platform/http/Http.hpp"

#include "tests/platform/http/LoopbackServers.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <tuple>

#include <sys/stat.h>

namespace corvane::platform {
namespace {

constexpr int kPort = 47800;

class HttpTransferTest : public ::testing::Test {
protected:
    HttpRequest requestFor(const std::string& path, const std::string& method = "GET") {
        HttpRequest request;
        request.host = address;
        request.port = kPort;
        request.path = path;
        request.method = method;
        return request;
    }

    std::string address = test::uniqueLoopbackAddress();
    test::LoopbackServer server;
};

TEST_F(HttpTransferTest, PostAndPutCarryExactlyTheCallersBodyAndHeaders) {
    std::mutex mutex;
    std::vector<std::tuple<std::string, std::string, std::string, bool>> seen;  // method, type, body, has Expect
    const auto record = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard lock(mutex);
        seen.emplace_back(request.method, request.get_header_value("Content-Type"), request.body,
                          request.has_header("Expect"));
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
    EXPECT_TRUE(sent.back() == content.size() && std::is_sorted(sent.begin(), sent.end()));

    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_tuple(std::string("POST"), std::string("application/json"), std::string(R"({"a":1})"), false));
    EXPECT_EQ(seen[1], std::make_tuple(std::string("POST"), std::string(), std::string(), false));
    EXPECT_TRUE(std::get<2>(seen[2]).size() == content.size() && !std::get<3>(seen[2]));

    // A header that would split the request is refused before anything is sent.
    auto injected = requestFor("/p", "POST");
    injected.headers = {{"X-A", "1\r\nX-B: 2"}};
    EXPECT_THROW(Http::perform(injected), HttpError);
    auto noFile = requestFor("/u", "PUT");
    noFile.bodyFile = folder.path() / "missing";
    EXPECT_THROW(Http::perform(noFile), HttpError);
    // Neither a folder nor a FIFO is a body (opening a FIFO must not wait for a writer).
    noFile.bodyFile = folder.path();
    EXPECT_THROW(Http::perform(noFile), HttpError);
    const auto fifo = folder.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    noFile.bodyFile = fifo;
    EXPECT_THROW(Http::perform(noFile), HttpError);
}

TEST_F(HttpTransferTest, ReceiverSeesHeadThenPiecesAndItsExceptionsComeOut) {
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
    EXPECT_TRUE(response.status == 200 && response.body.empty());
    EXPECT_EQ(std::tuple(status, announced, received), std::tuple(200L, std::optional<std::uint64_t>(200000), std::uint64_t(200000)));

    // Without a body the head still comes, at the end.
    status = 0;
    received = 0;
    Http::perform(requestFor("/empty404"), {}, &receiver);
    EXPECT_EQ(status, 404);

    receiver.onBody = [](ByteView) { throw std::runtime_error("disk full"); };
    EXPECT_THROW(Http::perform(requestFor("/file"), {}, &receiver), std::runtime_error);
}

TEST_F(HttpTransferTest, EncodedPathsAndWholeUrls) {
    auto request = requestFor("/v1/user/outbox/a%2Fb/done");
    request.pathEncoded = true;
    EXPECT_EQ(Http::url(request), "http://" + address + ":47800/v1/user/outbox/a%2Fb/done");
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
}

} // namespace
} // namespace corvane::platform
