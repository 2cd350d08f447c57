#include "engine/host/HostConnection.hpp"
#include "engine/Deadline.hpp"
#include "engine/host/HostError.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <condition_variable>
#include <mutex>

namespace corvane::stream {
namespace {

using platform::HttpError;
using platform::HttpRequest;
using platform::HttpResponse;

// A connection whose requests go to `answer` instead of the network; the last request is kept.
struct Fake {
    HttpRequest last;
    std::function<HttpResponse(std::stop_token)> answer;
    HostConnection connection(std::optional<ClientIdentity> identity = std::nullopt, std::optional<Bytes> pin = {}) {
        return HostConnection("box", 48089, 47984, std::move(identity), std::move(pin),
                              [this](const HttpRequest& r, std::stop_token stop, const platform::HttpReceiver*) {
                                  last = r;
                                  return answer(stop);
                              });
    }
};

TEST(HostConnection, HandsBackAnyXmlReplyAndTurnsOtherBodiesIntoHostErrors) {
    Fake fake;
    HttpResponse response{404, bytesOf("<root status_code=\"404\" status_message=\"Not Found\"/>")};
    fake.answer = [&](std::stop_token) { return response; };
    auto connection = fake.connection();
    // The status is the caller's to judge.
    EXPECT_EQ(connection.get("/serverinfo", {{"uniqueid", "0123456789ABCDEF"}}, false, 5).attributes.at("status_code"),
              "404");
    EXPECT_EQ(std::tuple(fake.last.host, fake.last.port, fake.last.secure), std::tuple(std::string("box"), 48089, false));
    EXPECT_EQ(fake.last.maxBodyBytes, HostConnection::kMaxReplyBytes);
    EXPECT_FALSE(fake.last.acceptServerCertificate);
    response = {503, bytesOf("<html><body><p>Service Unavailable</body></html>")};
    EXPECT_EQ(test::failureOf<HostError>([&] { connection.get("/html", {}, false, 5); }), "HTTP 503");
    response = {200, {}};
    EXPECT_EQ(test::failureOf<HostError>([&] { connection.get("/empty", {}, false, 5); }), "unexpected reply to /empty");
    // A stop reaches the transfer; one that outlives its limit by 2 s is ended.
    fake.answer = [](std::stop_token stop) -> HttpResponse {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock wait(mutex);
        wake.wait(wait, stop, [] { return false; });
        throw HttpError(HttpError::Kind::cancelled, "cancelled");
    };
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(test::failureOf<HttpError>([&] { connection.get("/stuck", {}, false, 5, stop.get_token()); }), "cancelled");
    EXPECT_EQ(test::failureOf<DeadlineExceeded>([&] { connection.get("/stuck", {}, false, 0); }),
              "HTTP /stuck did not finish within 2 s");
}

TEST(HostConnection, OverHttpsOnlyThePinnedCertificatePassesAndTheClientCertificateIsShown) {
    corvane::test::EngineLogCapture log;
    auto [key, der] = ClientIdentity::generate("Corvane Stream Client", std::nullopt, nullptr);
    const Bytes pinned{0x30, 0x01, 0x02};
    Fake fake;
    fake.answer = [](std::stop_token) { return HttpResponse{200, bytesOf("<root/>")}; };
    auto connection = fake.connection(ClientIdentity{key, der, platform::KeyStore::Identity{der, key}}, pinned);
    connection.get("/applist", {}, true, 5);
    EXPECT_EQ(fake.last.port, 47984);
    EXPECT_EQ(fake.last.clientCertificateDER, der);
    ASSERT_TRUE(fake.last.acceptServerCertificate);
    EXPECT_TRUE(fake.last.acceptServerCertificate(pinned));
    EXPECT_FALSE(fake.last.acceptServerCertificate(Bytes{0x30, 0x01, 0x03}));
    EXPECT_FALSE(fake.last.acceptServerCertificate(Bytes{0x30, 0x01}));
    // A replaced pin applies to the next handshake; without one nothing passes.
    connection.setServerCertificateDER(Bytes{0x30, 0x01});
    EXPECT_TRUE(fake.last.acceptServerCertificate(Bytes{0x30, 0x01}));
    connection.setServerCertificateDER(std::nullopt);
    EXPECT_FALSE(fake.last.acceptServerCertificate(pinned));
    EXPECT_EQ(log.all(), std::vector<std::string>(3, "[engine] https: rejected the box's certificate (not the one "
                                                     "saved at pairing)"));
}

} // namespace
} // namespace corvane::stream
