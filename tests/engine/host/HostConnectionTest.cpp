#include "engine/host/HostConnection.hpp"
#include "engine/Deadline.hpp"
#include "engine/EngineLog.hpp"
#include "engine/host/HostError.hpp"
#include "engine/host/HostReply.hpp"
#include "platform/http/Http.hpp"
#include "tests/platform/http/LoopbackServers.hpp"
#include "tests/engine/session/Recorder.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::stream {
namespace {

using test::LoopbackServer;

constexpr int kHttpPort = 48089;
constexpr int kHttpsPort = 47984;

template <class F>
platform::HttpError::Kind httpFailure(F&& f) {
    try {
        f();
    } catch (const platform::HttpError& error) {
        return error.kind;
    }
    ADD_FAILURE() << "no HttpError";
    return platform::HttpError::Kind::other;
}

template <class F>
HostError hostFailure(F&& f) {
    try {
        f();
    } catch (const HostError& error) {
        return error;
    }
    throw std::runtime_error("no HostError");
}

class HostConnectionHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto xml = [](int status, std::string body) {
            return [status, body](const httplib::Request&, httplib::Response& response) {
                response.status = status;
                response.set_content(body, "text/xml");
            };
        };
        server.on("/serverinfo", xml(200, "<root status_code=\"200\"><hostname>BOX</hostname></root>"));
        server.on("/missing", xml(404, "<root status_code=\"404\" status_message=\"Not Found\"/>"));
        server.on("/html", xml(503, "<html><body><p>Service Unavailable</body></html>"));
        server.on("/xmlerror", xml(503, "<html><body>Service Unavailable</body></html>"));
        server.on("/empty", xml(200, ""));
        server.on("/huge", xml(200, "<root>" + std::string(HostConnection::kMaxReplyBytes, 'x') + "</root>"));
        server.on("/stuck", [this](const httplib::Request&, httplib::Response& response) {
            std::unique_lock lock(mutex);
            released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
            response.set_content("<root/>", "text/xml");
        });
        server.start(address, kHttpPort);
    }
    void TearDown() override {
        {
            std::lock_guard guard(mutex);
            release = true;
        }
        released.notify_all();
    }
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::string address = test::uniqueLoopbackAddress();
    LoopbackServer server;
    HostConnection connection{address, kHttpPort, kHttpsPort, std::nullopt, std::nullopt};
};

TEST_F(HostConnectionHttpTest, ReturnsTheTreeOfAnyXmlReply) {
    const HostXML info = connection.get("/serverinfo", {{"uniqueid", "0123456789ABCDEF"}, {"uuid", "u"}}, false, 5);
    EXPECT_EQ(info["hostname"], "BOX");
    ASSERT_EQ(server.seen().size(), 1u);
    EXPECT_EQ(server.seen()[0].target, "/serverinfo?uniqueid=0123456789ABCDEF&uuid=u");
    // The status is the caller's to judge.
    const HostXML missing = connection.get("/missing", {}, false, 5);
    EXPECT_EQ(hostFailure([&] { HostReply::check(missing); }), HostError::status(404, "Not Found"));
    const HostXML wellFormedErrorPage = connection.get("/xmlerror", {}, false, 5);
    EXPECT_EQ(hostFailure([&] { HostReply::check(wellFormedErrorPage); }), HostError::status(0, ""));
    // Bodies that are not XML become host errors; replies over the cap are refused.
    EXPECT_STREQ(hostFailure([&] { connection.get("/html", {}, false, 5); }).what(), "HTTP 503");
    EXPECT_STREQ(hostFailure([&] { connection.get("/empty", {}, false, 5); }).what(), "unexpected reply to /empty");
    EXPECT_EQ(httpFailure([&] { connection.get("/huge", {}, false, 5); }), platform::HttpError::Kind::tooLarge);
    // Transport failures and a caller's stop pass unchanged.
    HostConnection nowhere(test::uniqueLoopbackAddress(), kHttpPort, kHttpsPort, std::nullopt, std::nullopt);
    EXPECT_EQ(httpFailure([&] { nowhere.get("/serverinfo", {}, false, 5); }), platform::HttpError::Kind::cannotConnect);
    std::stop_source stop;
    stop.request_stop();
    EXPECT_EQ(httpFailure([&] { connection.get("/serverinfo", {}, false, 5, stop.get_token()); }),
              platform::HttpError::Kind::cancelled);
}

TEST_F(HostConnectionHttpTest, DeadlineStopsAnExchangeThatOutlivesItsLimit) {
    // A time-out of 0 leaves the transfer without a limit of its own: only the deadline (0 + 2 s) ends it.
    try {
        connection.get("/stuck", {}, false, 0);
        ADD_FAILURE() << "no DeadlineExceeded";
    } catch (const DeadlineExceeded& error) {
        EXPECT_STREQ(error.what(), "HTTP /stuck did not finish within 2 s");
    }
}

class HostConnectionHttpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        server->on("/applist", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<root status_code=\"200\"><App><ID>1</ID></App></root>", "text/xml");
        });
        server->start(address, kHttpsPort);
        test::Recorder::captureLog(recorder);
    }
    void TearDown() override { EngineLog::setSink(nullptr); }
    HostConnection connectionPinning(std::optional<Bytes> pin) {
        ClientIdentity identity;
        identity.privateKey = clientCertificate.key;
        identity.certificateDER = clientCertificate.der;
        identity.secIdentity = platform::KeyStore::Identity{clientCertificate.der, clientCertificate.key};
        return HostConnection(address, kHttpPort, kHttpsPort, identity, std::move(pin));
    }
    test::TempDir folder;
    test::TestCertificate boxCertificate = test::makeTestCertificate(folder.path(), "box");
    test::TestCertificate clientCertificate = test::makeTestCertificate(folder.path(), "client");
    std::string address = test::uniqueLoopbackAddress();
    std::unique_ptr<LoopbackServer> server = std::make_unique<LoopbackServer>(boxCertificate);
    std::shared_ptr<test::Recorder> recorder = std::make_shared<test::Recorder>();
};

TEST_F(HostConnectionHttpsTest, OnlyThePinnedCertificateLetsTheRequestThroughWithTheClientCertificate) {
    Bytes oneByteOff = boxCertificate.der;
    oneByteOff.back() ^= 0x80;
    for (const std::optional<Bytes>& pin : {std::optional<Bytes>(oneByteOff), std::optional<Bytes>(),
                                            std::optional<Bytes>(clientCertificate.der)}) {
        HostConnection connection = connectionPinning(pin);
        EXPECT_EQ(httpFailure([&] { connection.get("/applist", {{"uniqueid", "X"}}, true, 5); }),
                  platform::HttpError::Kind::cancelled);
    }
    EXPECT_TRUE(server->seen().empty());
    EXPECT_EQ(recorder->logs, std::vector<std::string>(3, "[engine] https: rejected the box's certificate (not the one "
                                                          "saved at pairing)"));
    // A replaced pin applies to the next handshake.
    HostConnection connection = connectionPinning(std::nullopt);
    connection.setServerCertificateDER(boxCertificate.der);
    EXPECT_EQ(connection.get("/applist", {{"uniqueid", "X"}}, true, 5).all("App").size(), 1u);
    const auto seen = server->seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, "/applist?uniqueid=X");
    EXPECT_EQ(seen[0].clientCertificate, clientCertificate.der);
    connection.setServerCertificateDER(clientCertificate.der);
    EXPECT_EQ(httpFailure([&] { connection.get("/applist", {}, true, 5); }), platform::HttpError::Kind::cancelled);
    EXPECT_EQ(server->seen().size(), 1u);
    // Plain HTTP goes to the plain port only, where nothing listens here.
    EXPECT_EQ(httpFailure([&] { connection.get("/applist", {}, false, 5); }), platform::HttpError::Kind::cannotConnect);
}

} // namespace
} // namespace corvane::stream
