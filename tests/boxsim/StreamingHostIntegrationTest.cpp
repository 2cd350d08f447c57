#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "boxsim/host/StreamingHost.hpp"
#include "tests/boxsim/HostTestClient.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

using test::get;
using test::getSecure;
using test::Query;
using test::Reply;
using test::TestIdentity;

// The certificate the box presents on its HTTPS port, read with a bare TLS client that shows none.
std::optional<test::Bytes> presentedCertificate(const std::string& address) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    BIO* bio = BIO_new_ssl_connect(ctx);
    BIO_set_conn_hostname(bio, (address + ":47984").c_str());
    std::optional<test::Bytes> der;
    if (BIO_do_connect(bio) > 0 && BIO_do_handshake(bio) > 0) {
        SSL* ssl = nullptr;
        BIO_get_ssl(bio, &ssl);
        if (X509* peer = SSL_get1_peer_certificate(ssl)) {
            der = test::derOf(peer);
            X509_free(peer);
        }
    }
    BIO_free_all(bio);
    SSL_CTX_free(ctx);
    return der;
}

template <typename Set>
StreamingHost::Fault fault(Set set) {
    StreamingHost::Fault f;
    set(f);
    return f;
}

class StreamingHostTest : public ::testing::Test {
protected:
    StreamingHost::Options options() const {
        StreamingHost::Options o;
        o.address = address;
        o.hostname = "test-box";
        o.uniqueId = "B0B0CAFE";
        o.pinWaitSeconds = 5;
        o.apps.push_back({42, "Game & Watch", true});
        return o;
    }
    void SetUp() override {
        host = std::make_unique<StreamingHost>(options());
        host->start();
    }
    Query launchQuery(const std::string& appId, const std::string& rikey = "000102030405060708090A0B0C0D0E0F") const {
        return {{"uniqueid", "C1"},         {"uuid", "U"},           {"appid", appId},
                {"mode", "1920x1080x60"},   {"additionalStates", "1"}, {"sops", "0"},
                {"rikey", rikey},           {"rikeyid", "-12345"},   {"localAudioPlayMode", "0"},
                {"surroundAudioInfo", "196610"}, {"remoteControllersBitmap", "0"}, {"gcmap", "0"},
                {"gcpersist", "0"}};
    }
    void pairDirectly(const TestIdentity& identity) { host->addPairedClient({"C1", "desk", identity.der}); }

    std::string address = corvane::test::uniqueLoopbackAddress();
    std::unique_ptr<StreamingHost> host;
};

TEST_F(StreamingHostTest, ServerInfoAnswersOnBothPlainPortsAndOverHttps) {
    for (int port : {48089, 47989}) {
        const Reply reply = get(address, port, "/serverinfo", {{"uniqueid", "0"}, {"uuid", "X"}});
        ASSERT_TRUE(reply.xml) << port << ": " << reply.body;
        const test::Xml& xml = *reply.xml;
        EXPECT_EQ(xml.statusCode(), 200);
        EXPECT_EQ(xml["hostname"], "test-box");
        EXPECT_EQ(xml["uniqueid"], "B0B0CAFE");
        EXPECT_EQ(xml["appversion"], "7.1.431.-1");
        EXPECT_EQ(xml["HttpsPort"], "47984");
        EXPECT_EQ(xml["ExternalPort"], "47989");
        EXPECT_EQ(xml["PairStatus"], "0");
        EXPECT_EQ(xml["currentgame"], "0");
        EXPECT_EQ(xml["state"], "SERVER_FREE");
        EXPECT_TRUE(xml["ServerCodecModeSupport"]);
        EXPECT_TRUE(xml["MaxLumaPixelsHEVC"]);
    }
    // Over HTTPS an unknown certificate is let in while nobody is paired, and told it is not paired.
    TestIdentity identity;
    const Reply secure = getSecure(address, "/serverinfo", {{"uniqueid", "C1"}}, &identity);
    ASSERT_TRUE(secure.xml) << secure.body;
    EXPECT_EQ((*secure.xml)["PairStatus"], "0");

    pairDirectly(identity);
    const Reply paired = getSecure(address, "/serverinfo", {{"uniqueid", "C1"}}, &identity);
    ASSERT_TRUE(paired.xml);
    EXPECT_EQ((*paired.xml)["PairStatus"], "1");
    // The plain port never says paired, whoever asks.
    EXPECT_EQ((*get(address, 48089, "/serverinfo", {{"uniqueid", "C1"}}).xml)["PairStatus"], "0");

    const auto record = host->lastRequest("/serverinfo");
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->secure);
    EXPECT_EQ(record->port, 48089);
    const auto requests = host->requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_TRUE(requests[3].secure);
    EXPECT_EQ(requests[3].port, 47984);
    EXPECT_EQ(requests[3].clientCertificateDER, identity.der);
}

TEST_F(StreamingHostTest, OmittedPortsAndAFixedStateAreReportedAsConfigured) {
    host->stop();
    auto o = options();
    o.reportedHttpsPort.reset();
    o.reportedExternalPort = 50000;
    o.state = "CUSTOM_BUSY";
    host = std::make_unique<StreamingHost>(o);
    host->start();
    const Reply reply = get(address, 48089, "/serverinfo");
    ASSERT_TRUE(reply.xml);
    EXPECT_FALSE((*reply.xml)["HttpsPort"]);
    EXPECT_EQ((*reply.xml)["ExternalPort"], "50000");
    EXPECT_EQ((*reply.xml)["state"], "CUSTOM_BUSY");
}

TEST_F(StreamingHostTest, QueryItemsAreRecordedInOrderDecodedAndRaw) {
    const std::string target = "/serverinfo?b=2&a=1&a=3&name=a%20b%26c&plus=x+y&flag&&empty=";
    httplib::Client client(address, 48089);
    client.set_url_encode(false);
    ASSERT_TRUE(client.Get(target));
    const auto record = host->lastRequest("/serverinfo");
    ASSERT_TRUE(record);
    const StreamingHost::QueryItems expected = {{"b", "2"},    {"a", "1"},   {"a", "3"},  {"name", "a b&c"},
                                                {"plus", "x+y"}, {"flag", ""}, {"empty", ""}};
    EXPECT_EQ(record->query, expected);
    EXPECT_EQ(record->target, target);
    EXPECT_EQ(record->requestLine, "GET " + target + " HTTP/1.1");
    EXPECT_EQ(record->item("a"), "1");
    EXPECT_FALSE(record->item("missing"));
}

TEST_F(StreamingHostTest, PairedOnlyRequestsRefuseOthers) {
    TestIdentity stranger;
    for (const char* path : {"/applist", "/launch", "/resume", "/cancel"}) {
        const Reply plain = get(address, 48089, path, launchQuery("881448767"));
        ASSERT_TRUE(plain.xml) << path;
        EXPECT_EQ(plain.xml->statusCode(), 401) << path;
        const Reply secure = getSecure(address, path, launchQuery("881448767"), &stranger);
        ASSERT_TRUE(secure.xml) << path;
        EXPECT_EQ(secure.xml->statusCode(), 401) << path;
    }
    EXPECT_EQ(host->currentGame(), 0);
}

TEST_F(StreamingHostTest, AppListLaunchResumeAndCancelForAPairedClient) {
    TestIdentity identity;
    pairDirectly(identity);

    const Reply apps = getSecure(address, "/applist", {{"uniqueid", "C1"}}, &identity);
    ASSERT_TRUE(apps.xml) << apps.body;
    const auto entries = apps.xml->all("App");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ((*entries[0])["ID"], "881448767");
    EXPECT_EQ((*entries[0])["AppTitle"], "Desktop");
    EXPECT_EQ((*entries[0])["IsHdrSupported"], "0");
    EXPECT_EQ((*entries[1])["AppTitle"], "Game & Watch");
    EXPECT_EQ((*entries[1])["IsHdrSupported"], "1");

    const Reply launched = getSecure(address, "/launch", launchQuery("42"), &identity);
    ASSERT_TRUE(launched.xml) << launched.body;
    EXPECT_EQ(launched.xml->statusCode(), 200);
    EXPECT_EQ((*launched.xml)["sessionUrl0"], "rtsp://" + address + ":48010");
    EXPECT_EQ((*launched.xml)["gamesession"], "1");
    EXPECT_EQ(host->currentGame(), 42);
    const auto info = get(address, 48089, "/serverinfo").xml;
    EXPECT_EQ((*info)["currentgame"], "42");
    EXPECT_EQ((*info)["state"], "SERVER_BUSY");
    const auto record = host->lastRequest("/launch");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->query, launchQuery("42"));

    const Reply resumed = getSecure(address, "/resume", launchQuery("42"), &identity);
    ASSERT_TRUE(resumed.xml);
    EXPECT_EQ((*resumed.xml)["sessionUrl0"], "rtsp://" + address + ":48010");

    const Reply cancelled = getSecure(address, "/cancel", {{"uniqueid", "C1"}}, &identity);
    ASSERT_TRUE(cancelled.xml);
    EXPECT_EQ((*cancelled.xml)["cancel"], "1");
    EXPECT_EQ(host->currentGame(), 0);
}

TEST_F(StreamingHostTest, LaunchRefusesBadItemsWithStatusReplies) {
    TestIdentity identity;
    pairDirectly(identity);
    struct Case {
        Query query;
        int code;
    };
    Query noKey = launchQuery("42");
    noKey.erase(noKey.begin() + 6);
    Query badMode = launchQuery("42");
    badMode[3].second = "1920x1080";
    Query bigKeyId = launchQuery("42");
    bigKeyId[7].second = "4294967296";
    const Case cases[] = {{launchQuery("7"), 404},          {launchQuery("x42"), 400}, {launchQuery("42", "0A0B"), 400},
                          {launchQuery("42", std::string(32, 'g')), 400}, {noKey, 400}, {badMode, 400}, {bigKeyId, 400}};
    for (const Case& c : cases) {
        const Reply reply = getSecure(address, "/launch", c.query, &identity);
        ASSERT_TRUE(reply.xml) << reply.body;
        EXPECT_EQ(reply.xml->statusCode(), c.code) << test::target("/launch", c.query);
        EXPECT_FALSE(reply.xml->attribute("status_message").empty());
    }
    EXPECT_EQ(host->currentGame(), 0);
}

TEST_F(StreamingHostTest, HostileRequestsGetStatusRepliesAndTheBoxGoesOn) {
    const std::string pem = test::hex(test::Bytes{'n', 'o', 'p', 'e'});
    const std::string salt = std::string(32, 'A');
    struct Case {
        Query query;
        int code;
    };
    const Case cases[] = {
        {{{"phrase", "getservercert"}, {"salt", salt}}, 400},                        // no uniqueid
        {{{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", "ABC"}}, 400},     // odd hex
        {{{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", "zz"}}, 400},      // not hex
        {{{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", salt}}, 400},      // no clientcert
        {{{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", salt}, {"clientcert", pem}}, 400},
        {{{"uniqueid", "C"}, {"phrase", "dance"}}, 400},
        {{{"uniqueid", "C"}}, 400},
        {{{"uniqueid", "C"}, {"clientchallenge", "00"}}, 400},                        // not one block
        {{{"uniqueid", "C"}, {"serverchallengeresp", std::string(33, '0')}}, 400},
        {{{"uniqueid", "C"}, {"clientpairingsecret", std::string(32, '0')}}, 400},   // 16 bytes: no signature
    };
    for (const Case& c : cases) {
        const Reply reply = get(address, 48089, "/pair", c.query);
        ASSERT_TRUE(reply.xml) << reply.body;
        EXPECT_EQ(reply.xml->statusCode(), c.code) << test::target("/pair", c.query);
    }
    // Well-formed steps out of order: not paired, nothing kept.
    const Reply early = get(address, 48089, "/pair", {{"uniqueid", "C"}, {"clientchallenge", std::string(32, '0')}});
    ASSERT_TRUE(early.xml);
    EXPECT_EQ(early.xml->statusCode(), 200);
    EXPECT_EQ((*early.xml)["paired"], "0");

    const Reply unknown = get(address, 48089, "/nothing-here");
    EXPECT_EQ(unknown.httpStatus, 404);
    ASSERT_TRUE(unknown.xml);
    EXPECT_EQ(unknown.xml->statusCode(), 404);

    const Reply longPath = get(address, 48089, "/" + std::string(8000, 'A'));
    ASSERT_TRUE(longPath.xml);
    EXPECT_EQ(longPath.xml->statusCode(), 404);
    httplib::Client poster(address, 48089);
    const auto posted = poster.Post("/serverinfo", std::string(1000, 'x'), "text/plain");
    ASSERT_TRUE(posted);
    EXPECT_EQ(posted->status, 405);
    EXPECT_EQ(host->lastRequest("/serverinfo")->method, "POST");

    const Reply unpairNobody = get(address, 48089, "/unpair");
    ASSERT_TRUE(unpairNobody.xml);
    EXPECT_EQ(unpairNobody.xml->statusCode(), 400);

    // A request target far past any real one is refused by the HTTP layer, not read into memory.
    const Reply huge = get(address, 48089, "/pair", {{"uniqueid", std::string(20000, 'A')}});
    EXPECT_FALSE(huge.delivered && huge.httpStatus == 200);
    EXPECT_TRUE(get(address, 48089, "/serverinfo").xml);
}

TEST_F(StreamingHostTest, FaultsFireAsScriptedAndOnlyAsOftenAsAsked) {
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.httpStatus = 503; f.times = 2; }));
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/applist"; f.statusCode = 404; f.statusMessage = "Not Found"; }));
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/cancel"; f.malformedXml = true; }));
    EXPECT_EQ(host->pendingFaults(), 3u);

    for (int i = 0; i < 2; ++i) {
        const Reply failed = get(address, 48089, "/serverinfo");
        EXPECT_EQ(failed.httpStatus, 503);
        EXPECT_FALSE(failed.xml) << failed.body;
    }
    const Reply healed = get(address, 48089, "/serverinfo");
    EXPECT_EQ(healed.httpStatus, 200);
    EXPECT_TRUE(healed.xml);

    // A status fault answers before the authorisation check: the reply is all scripted.
    const Reply refused = get(address, 48089, "/applist");
    ASSERT_TRUE(refused.xml);
    EXPECT_EQ(refused.xml->statusCode(), 404);
    EXPECT_EQ(refused.xml->attribute("status_message"), "Not Found");
    EXPECT_EQ(get(address, 48089, "/applist").xml->statusCode(), 401);

    const Reply garbled = get(address, 48089, "/cancel");
    EXPECT_EQ(garbled.httpStatus, 200);
    EXPECT_FALSE(garbled.body.empty());
    EXPECT_FALSE(garbled.xml);
    EXPECT_EQ(host->pendingFaults(), 0u);

    // A delay past the client's own time-out, then the ordinary reply for whoever waits.
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.delaySeconds = 2.5; }));
    EXPECT_FALSE(get(address, 48089, "/serverinfo", {}, 1).delivered);
    EXPECT_TRUE(get(address, 48089, "/serverinfo", {}, 1).xml);

    // Zero times: every matching request, until cleared.
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.notPaired = true; f.times = 0; }));
    TestIdentity identity;
    pairDirectly(identity);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "0");
    host->clearFaults();
    EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "1");

    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/launch"; f.emptySessionUrl = true; }));
    const Reply empty = getSecure(address, "/launch", launchQuery("881448767"), &identity);
    ASSERT_TRUE(empty.xml);
    EXPECT_EQ(empty.xml->statusCode(), 200);
    EXPECT_EQ((*empty.xml)["sessionUrl0"], "");
}

TEST_F(StreamingHostTest, StopReleasesEveryPortForAnImpostor) {
    const auto original = presentedCertificate(address);
    ASSERT_TRUE(original);
    EXPECT_EQ(*original, host->certificateDER());

    // Two boxes never share an address.
    StreamingHost rival(options());
    EXPECT_THROW(rival.start(), corvane::Error);
    EXPECT_FALSE(rival.running());
    EXPECT_TRUE(get(address, 48089, "/serverinfo").xml);

    host->stop();
    EXPECT_FALSE(get(address, 48089, "/serverinfo", {}, 1).delivered);
    StreamingHost impostor(options());
    impostor.start();
    const auto forged = presentedCertificate(address);
    ASSERT_TRUE(forged);
    EXPECT_NE(*forged, *original);
    EXPECT_EQ(*forged, impostor.certificateDER());
    EXPECT_EQ((*get(address, 48089, "/serverinfo").xml)["uniqueid"], "B0B0CAFE");
    impostor.stop();

    // The first box comes back with its own identity and records.
    host->start();
    EXPECT_EQ(presentedCertificate(address), original);
    EXPECT_FALSE(host->requests().empty());
}

TEST_F(StreamingHostTest, StopEndsAPairingThatWaitsForThePin) {
    TestIdentity identity;
    test::PairingClient client(address, identity);
    auto waiting = std::async(std::launch::async, [&] { return client.getServerCert("1234", 30); });
    while (!host->lastRequest("/pair")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host->stop();
    const Reply reply = waiting.get();
    EXPECT_FALSE(test::PairingClient::paired(reply));
    EXPECT_TRUE(host->pairedClients().empty());
}

} // namespace
} // namespace corvane::boxsim
