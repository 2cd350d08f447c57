#include "engine/BoxHost.hpp"
#include "boxsim/host/StreamingHost.hpp"
#include "engine/host/HostError.hpp"
#include "platform/http/Http.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/RawHttpServer.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <mutex>
#include <regex>
#include <tuple>

namespace corvane::stream {
namespace {

using Fault = boxsim::StreamingHost::Fault;

template <class Change>
Fault fault(std::string path, std::string step, Change change) {
    Fault f;
    f.path = std::move(path);
    f.step = std::move(step);
    change(f);
    return f;
}

// The engine's box host against a simulated box on a loopback address of the test's own.
class BoxHostIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        options.address = address;
        options.hostname = "corvane-box\nsession: forged";
        box = std::make_shared<boxsim::StreamingHost>(options);
        box->start();
    }
    Pairing::Approve approveOnBox() {
        return [box = box](const std::string& pin, std::stop_token) { box->enterPin(pin); };
    }
    // The last request line to `path`, its "uuid" (canonical upper-case, new each time) put back as UUID.
    std::string lastLine(const std::string& path) {
        const auto request = box->lastRequest(path);
        if (!request) return "none";
        const std::string uuid = request->item("uuid").value_or("");
        EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
            << uuid;
        std::string line = request->requestLine;
        if (const auto at = line.find("uuid=" + uuid); at != std::string::npos) line.replace(at + 5, uuid.size(), "UUID");
        return line;
    }
    corvane::test::EngineLogCapture log;
    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    boxsim::StreamingHost::Options options;
    std::shared_ptr<boxsim::StreamingHost> box;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json");
    // Each request's scheme, path and time-out as the box host hands it over.
    std::mutex sentLock;
    std::vector<std::tuple<bool, std::string, double>> sent;
    BoxHost host{address, 48089, ClientIdentityStore("Corvane Stream Client", platform::KeyStore(dir.path() / "keys")),
                 defaults, [this](const platform::HttpRequest& r, std::stop_token stop, const platform::HttpReceiver* to) {
                     std::lock_guard guard(sentLock);
                     sent.emplace_back(r.secure, r.path, r.timeoutSeconds);
                     return platform::Http::perform(r, stop, to);
                 }};
};

TEST_F(BoxHostIntegrationTest, PairsThenSendsTheExactRequestsOverPinnedHttps) {
    // Not paired yet: one public request answers that, nothing goes over HTTPS.
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);
    ASSERT_EQ(box->requests().size(), 1u);
    EXPECT_FALSE(box->requests()[0].secure);
    EXPECT_EQ(lastLine("/serverinfo"), "GET /serverinfo?uniqueid=0&uuid=UUID HTTP/1.1");
    host.pair("Corvane", approveOnBox());
    EXPECT_EQ(host.savedServerCertificate(box->uniqueId()), box->certificateDER());
    // The first step waits 75 s for the PIN to be typed on the box, the other four 15 s, the last over HTTPS.
    const std::vector<std::tuple<bool, std::string, double>> pairing = {
        {false, "/serverinfo", 5}, {false, "/serverinfo", 5}, {false, "/pair", 75}, {false, "/pair", 15},
        {false, "/pair", 15},      {false, "/pair", 15},      {true, "/pair", 15}};
    EXPECT_EQ(sent, pairing);
    const ClientIdentity identity = host.identityStore.loadOrCreate();
    const std::string id = identity.uniqueID();
    ASSERT_EQ(box->pairedClients().size(), 1u);
    EXPECT_EQ(box->pairedClients()[0].certificateDER, identity.certificateDER);
    // The box's host name arrives with a line feed in it; it stays on one line of the log.
    EXPECT_TRUE(log.has("pair: pairing with corvane-box\\nsession: forged (7.1.431.-1)"));
    EXPECT_FALSE(log.has("session: forged (7.1.431.-1)"));
    EXPECT_EQ(host.pairState(), BoxHost::PairState::paired);
    EXPECT_EQ(lastLine("/serverinfo"), "GET /serverinfo?uniqueid=" + id + "&uuid=UUID HTTP/1.1");
    const auto apps = host.appList();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(lastLine("/applist"), "GET /applist?uniqueid=" + id + "&uuid=UUID HTTP/1.1");
    // Launch and resume: the thirteen items in order; the surround value by channel count.
    const SessionKeys keys{Bytes{0x0a, 0xff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, -5};
    const struct { int channels; bool optimize, resume; std::string surround; } launches[] = {
        {2, false, false, "196610"}, {6, true, true, "4128774"}, {8, false, false, "104792072"}};
    for (const auto& l : launches) {
        StreamConfig config(2560, 1440, 60, 20000, StreamConfig::Codec::hevc, l.channels, 1392);
        config.optimizeGameSettings = l.optimize;
        const auto started = host.start(881448767, config, keys, l.resume);
        EXPECT_EQ(started.rtspPort(), 48010);
        const std::string path = l.resume ? "/resume" : "/launch";
        EXPECT_EQ(lastLine(path), "GET " + path + "?uniqueid=" + id +
                                      "&uuid=UUID&appid=881448767&mode=2560x1440x60&additionalStates=1&sops=" +
                                      (l.optimize ? "1" : "0") +
                                      "&rikey=0AFF0102030405060708090A0B0C0D0E&rikeyid=-5&localAudioPlayMode=0"
                                      "&surroundAudioInfo=" + l.surround +
                                      "&remoteControllersBitmap=0&gcmap=0&gcpersist=0 HTTP/1.1");
        EXPECT_EQ(box->lastRequest(path)->clientCertificateDER, identity.certificateDER);
    }
    EXPECT_EQ(box->currentGame(), 881448767);
    host.cancel();
    EXPECT_EQ(lastLine("/cancel"), "GET /cancel?uniqueid=" + id + "&uuid=UUID HTTP/1.1");
    EXPECT_TRUE(log.has("session: cancel ok (1)"));
    EXPECT_EQ(box->currentGame(), 0);
    for (const auto& path : {"/applist", "/launch", "/resume", "/cancel"}) EXPECT_TRUE(box->lastRequest(path)->secure);
    // Nothing that reached the engine's log carries the session key.
    for (const auto& line : log.all()) EXPECT_EQ(line.find("0AFF0102"), std::string::npos) << line;
}

TEST_F(BoxHostIntegrationTest, EachPairingFailureIsReportedAndWithdrawn) {
    const std::pair<Fault, std::string> cases[] = {
        {fault("", "", [](Fault& f) { f.wrongPin = true; }), "the PIN didn't match"},
        {fault("", "", [](Fault& f) { f.badSignature = true; }), "the box's pairing signature is not valid"},
        {fault("/pair", "clientpairingsecret", [](Fault& f) { f.notPaired = true; }),
         "the box refused pairing at clientpairingsecret"},
        {fault("/pair", "clientchallenge", [](Fault& f) { f.malformedXml = true; f.httpStatus = 500; }), "HTTP 500"},
    };
    for (const auto& [boxFault, expected] : cases) {
        box->clearRequests();
        box->addFault(boxFault);
        EXPECT_EQ(test::failureOf<std::exception>([&] { host.pair("Corvane", approveOnBox()); }), expected);
        EXPECT_TRUE(log.has("pair: failed: " + expected));
        const auto requests = box->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().path, "/unpair") << expected;
        EXPECT_FALSE(host.savedServerCertificate(box->uniqueId())) << expected;
    }
}

TEST_F(BoxHostIntegrationTest, AnImpostorNeverSeesARequestOrTheSessionKey) {
    host.pair("Corvane", approveOnBox());
    box->stop();
    // Another server takes the box's address and unique id, with a certificate of its own.
    auto impostor = std::make_shared<boxsim::StreamingHost>(box->options());
    impostor->start();
    const auto refused = test::errorOf<platform::HttpError>([&] {
        host.start(881448767, StreamConfig(1280, 720, 60, 5000, StreamConfig::Codec::h264, 2, 1392), SessionKeys::random(), false);
    });
    ASSERT_TRUE(refused.has_value());
    EXPECT_STREQ(refused->what(), "cancelled");
    EXPECT_EQ(refused->kind, platform::HttpError::Kind::cancelled);
    EXPECT_TRUE(refused->certificateRejected);
    EXPECT_TRUE(log.has("https: rejected the box's certificate (not the one saved at pairing)"));
    for (const auto& request : impostor->requests()) EXPECT_FALSE(request.secure) << request.requestLine;
    // A rejected pin is no verdict on the pairing.
    EXPECT_EQ(host.pairState(), BoxHost::PairState::unknown);
}

// Only the box's own answer says the pairing is gone. A secure exchange that fails says nothing of it: the
// check logs why and reports unknown, so a passing fault never makes the app pair again.
TEST_F(BoxHostIntegrationTest, AFailedSecureCheckIsUnknownAndLoggedOnlyTheBoxsAnswerIsNotPaired) {
    host.pair("Corvane", approveOnBox());
    box->addFault(fault("/serverinfo", "", [](Fault& f) { f.notPaired = true, f.times = 2; }));  // both requests
    box->clearRequests();
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);  // told over HTTPS: "PairStatus" 0
    ASSERT_EQ(box->requests().size(), 2u);
    EXPECT_TRUE(box->requests()[1].secure);
    EXPECT_TRUE(log.matching("pair: check failed").empty());
    box->stop();

    // The same box by its unique id and its public answers, with its secure port sent elsewhere.
    auto moved = box->options();
    moved.reportedHttpsPort = 47990;
    const auto readHello = [](int fd) {
        char hello[4096];
        return ::recv(fd, hello, sizeof hello, 0) > 0;
    };
    const struct { std::string what; test::RawHttpServer::Answer answer; } cases[] = {
        // A fatal "handshake_failure" alert (TLS 1.2 record: type 21, version 3.3, length 2, level 2, code 40).
        {"handshake refused", [&](int fd, const std::string&) {
             if (readHello(fd)) test::RawHttpServer::sendAll(fd, std::string("\x15\x03\x03\x00\x02\x02\x28", 7));
         }},
        {"connection closed", [&](int fd, const std::string&) { readHello(fd); }},
        {"bytes that are no TLS", [&](int fd, const std::string&) {
             if (readHello(fd)) test::RawHttpServer::sendAll(fd, "HTTP/1.1 400 Bad Request\r\n\r\n");
         }},
    };
    auto standIn = std::make_shared<boxsim::StreamingHost>(moved);
    standIn->start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::RawHttpServer secure(address, 47990, c.answer, false);
        const auto before = log.matching("pair: check failed: ").size();
        EXPECT_EQ(host.pairState(), BoxHost::PairState::unknown);
        const auto failed = log.matching("pair: check failed: ");
        ASSERT_EQ(failed.size(), before + 1);
        EXPECT_GT(failed.back().size(), std::string("pair: check failed: ").size()) << failed.back();
    }
    standIn->stop();

    // Another server with the box's unique id and a certificate of its own: the pin is rejected, and that
    // too is no verdict on the pairing.
    auto impostor = std::make_shared<boxsim::StreamingHost>(box->options());
    impostor->start();
    EXPECT_EQ(host.pairState(), BoxHost::PairState::unknown);
    EXPECT_TRUE(log.has("https: rejected the box's certificate (not the one saved at pairing)"));
    EXPECT_EQ(log.matching("pair: check failed: ").back(), "pair: check failed: cancelled");
    EXPECT_TRUE(host.savedServerCertificate(box->uniqueId()));  // nothing forgotten
}

TEST_F(BoxHostIntegrationTest, UnpairIsConfirmedByTheBoxAndForgetsLocallyEvenWhenItIsGone) {
    host.pair("Corvane", approveOnBox());
    EXPECT_TRUE(host.unpair());
    EXPECT_TRUE(box->pairedClients().empty());
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);
    host.pair("Corvane", approveOnBox());
    box->addFault(fault("/unpair", "", [](Fault& f) { f.statusCode = 503; }));  // refused: not confirmed
    EXPECT_FALSE(host.unpair());
    EXPECT_TRUE(log.hasStart("pair: the box did not remove this Mac's certificate: box replied 503"));
    host.pair("Corvane", approveOnBox());
    const std::string firstID = host.identityStore.loadOrCreate().uniqueID();
    box->stop();
    EXPECT_FALSE(host.unpair());
    EXPECT_TRUE(log.hasStart("pair: the box did not remove this Mac's certificate: "));
    EXPECT_FALSE(host.savedServerCertificate(box->uniqueId()));
    EXPECT_NE(host.identityStore.loadOrCreate().uniqueID(), firstID);
}

TEST_F(BoxHostIntegrationTest, ARecordWithAnyValueThatIsNotBytesCountsAsAbsent) {
    defaults->set("CorvaneStream.PairedBoxes.Corvane Stream Client",
                  {platform::DefaultsValue::Dictionary{{"OTHER", {std::string("not bytes")}}}});
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);
    EXPECT_EQ(test::failureOf<HostError>([&] { host.appList(); }), "the box's certificate is not the one saved at pairing");
    host.pair("Corvane", approveOnBox());
    const auto record = defaults->object("CorvaneStream.PairedBoxes.Corvane Stream Client");
    const auto* dictionary = record ? record->get<platform::DefaultsValue::Dictionary>() : nullptr;
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(dictionary->size(), 1u);
    EXPECT_TRUE(dictionary->contains(box->uniqueId()));
}

} // namespace
} // namespace corvane::stream
