#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

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
        return {{"uniqueid", "C1"}, {"uuid", "U"},        {"appid", appId},     {"mode", "1920x1080x60"},
                {"additionalStates", "1"}, {"sops", "0"}, {"rikey", rikey},     {"rikeyid", "-12345"},
                {"localAudioPlayMode", "0"}, {"surroundAudioInfo", "196610"}};
    }

    std::string address = corvane::test::uniqueLoopbackAddress();
    std::unique_ptr<StreamingHost> host;
};

TEST_F(StreamingHostTest, ServerInfoOnEveryPortAndPairedOnlyOverHttps) {
    for (int port : {48089, 47989}) {
        const Reply reply = get(address, port, "/serverinfo", {{"uniqueid", "0"}});
        ASSERT_TRUE(reply.xml) << port << ": " << reply.body;
        const test::Xml& xml = *reply.xml;
        EXPECT_EQ(xml.statusCode(), 200);
        EXPECT_EQ(xml["hostname"], "test-box");
        EXPECT_EQ(xml["uniqueid"], "B0B0CAFE");
        EXPECT_EQ(xml["appversion"], "7.1.431.-1");
        EXPECT_EQ(xml["HttpsPort"], "47984");
        EXPECT_EQ(xml["PairStatus"], "0");
        EXPECT_EQ(xml["state"], "SERVER_FREE");
    }
    // Over HTTPS an unknown certificate is let in while nobody is paired, and told it is not paired.
    TestIdentity identity;
    EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "0");
    host->addPairedClient({"C1", "desk", identity.der});
    EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "1");
    EXPECT_EQ((*get(address, 48089, "/serverinfo", {{"uniqueid", "C1"}}).xml)["PairStatus"], "0");

    const auto requests = host->requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_TRUE(requests[3].secure && requests[3].port == 47984);
    EXPECT_EQ(requests[3].clientCertificateDER, identity.der);
}

TEST_F(StreamingHostTest, AppListLaunchResumeAndCancelOnlyForAPairedClient) {
    TestIdentity identity, stranger;
    for (const char* path : {"/applist", "/launch", "/resume", "/cancel"}) {
        EXPECT_EQ(get(address, 48089, path, launchQuery("881448767")).xml->statusCode(), 401) << path;
        EXPECT_EQ(getSecure(address, path, launchQuery("881448767"), &stranger).xml->statusCode(), 401) << path;
    }
    host->addPairedClient({"C1", "desk", identity.der});

    const Reply apps = getSecure(address, "/applist", {{"uniqueid", "C1"}}, &identity);
    const auto entries = apps.xml->all("App");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ((*entries[0])["ID"], "881448767");
    EXPECT_EQ((*entries[1])["AppTitle"], "Game & Watch");
    EXPECT_EQ((*entries[1])["IsHdrSupported"], "1");

    // Launch, resume and cancel themselves are exercised through the engine (BoxHostIntegrationTest).
    const Reply launched = getSecure(address, "/launch", launchQuery("42"), &identity);
    ASSERT_TRUE(launched.xml) << launched.body;
    EXPECT_EQ((*launched.xml)["sessionUrl0"], "rtsp://" + address + ":48010");
    EXPECT_EQ(host->lastRequest("/launch")->query, launchQuery("42"));
    EXPECT_EQ((*getSecure(address, "/cancel", {}, &identity).xml)["cancel"], "1");

    // Bad launch items get status replies and launch nothing.
    Query noKey = launchQuery("42"), badMode = launchQuery("42"), bigKeyId = launchQuery("42");
    noKey.erase(noKey.begin() + 6);
    badMode[3].second = "1920x1080";
    bigKeyId[7].second = "4294967296";
    const std::pair<Query, int> cases[] = {{launchQuery("7"), 404}, {launchQuery("x42"), 400},
                                           {launchQuery("42", "0A0B"), 400}, {launchQuery("42", std::string(32, 'g')), 400},
                                           {noKey, 400}, {badMode, 400}, {bigKeyId, 400}};
    for (const auto& [query, code] : cases)
        EXPECT_EQ(getSecure(address, "/launch", query, &identity).xml->statusCode(), code) << test::target("/launch", query);
    EXPECT_EQ(host->currentGame(), 0);
}

TEST_F(StreamingHostTest, HostileRequestsGetStatusRepliesAndTheBoxGoesOn) {
    const std::string salt = std::string(32, 'A');
    const Query cases[] = {
        {{"phrase", "getservercert"}, {"salt", salt}},  // no uniqueid
        {{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", "ABC"}},
        {{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", "zz"}},
        {{"uniqueid", "C"}, {"phrase", "getservercert"}, {"salt", salt}, {"clientcert", test::hex({'n', 'o'})}},
        {{"uniqueid", "C"}, {"phrase", "dance"}},
        {{"uniqueid", "C"}, {"clientchallenge", "00"}},
        {{"uniqueid", "C"}, {"serverchallengeresp", std::string(33, '0')}},
        {{"uniqueid", "C"}, {"clientpairingsecret", std::string(32, '0')}},  // no signature
    };
    for (const Query& query : cases)
        EXPECT_EQ(get(address, 48089, "/pair", query).xml->statusCode(), 400) << test::target("/pair", query);
    // A well-formed step out of order: not paired.
    EXPECT_EQ((*get(address, 48089, "/pair", {{"uniqueid", "C"}, {"clientchallenge", std::string(32, '0')}}).xml)["paired"], "0");
    EXPECT_EQ(get(address, 48089, "/" + std::string(8000, 'A')).xml->statusCode(), 404);
    EXPECT_EQ(httplib::Client(address, 48089).Post("/serverinfo", std::string(1000, 'x'), "text/plain")->status, 405);
    // A request target far past any real one is refused by the HTTP layer, not read into memory.
    const Reply huge = get(address, 48089, "/pair", {{"uniqueid", std::string(20000, 'A')}});
    EXPECT_FALSE(huge.delivered && huge.httpStatus == 200);
    EXPECT_TRUE(get(address, 48089, "/serverinfo").xml);
}

TEST_F(StreamingHostTest, FaultsFireAsScriptedAndOnlyAsOftenAsAsked) {
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.httpStatus = 503; f.times = 2; }));
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/applist"; f.statusCode = 404; f.statusMessage = "Not Found"; }));
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/cancel"; f.malformedXml = true; }));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(get(address, 48089, "/serverinfo").httpStatus, 503);
    EXPECT_TRUE(get(address, 48089, "/serverinfo").xml);
    // A status fault answers before the authorisation check.
    EXPECT_EQ(get(address, 48089, "/applist").xml->attribute("status_message"), "Not Found");
    EXPECT_EQ(get(address, 48089, "/applist").xml->statusCode(), 401);
    const Reply garbled = get(address, 48089, "/cancel");
    EXPECT_EQ(garbled.httpStatus, 200);
    EXPECT_FALSE(garbled.xml);
    EXPECT_EQ(host->pendingFaults(), 0u);

    // A delay past the client's own time-out, then the ordinary reply.
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.delaySeconds = 2.5; }));
    EXPECT_FALSE(get(address, 48089, "/serverinfo", {}, 1).delivered);
    EXPECT_TRUE(get(address, 48089, "/serverinfo", {}, 1).xml);

    // Zero times: every matching request, until cleared.
    host->addFault(fault([](StreamingHost::Fault& f) { f.path = "/serverinfo"; f.notPaired = true; f.times = 0; }));
    TestIdentity identity;
    host->addPairedClient({"C1", "desk", identity.der});
    for (int i = 0; i < 2; ++i) EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "0");
    host->clearFaults();
    EXPECT_EQ((*getSecure(address, "/serverinfo", {}, &identity).xml)["PairStatus"], "1");
}

TEST_F(StreamingHostTest, StopEndsAPairingThatWaitsForThePin) {
    TestIdentity identity;
    test::PairingClient client(address, identity);
    auto waiting = std::async(std::launch::async, [&] { return client.getServerCert("1234", 30); });
    while (!host->lastRequest("/pair")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host->stop();
    EXPECT_FALSE(test::PairingClient::paired(waiting.get()));
    EXPECT_TRUE(host->pairedClients().empty());
    EXPECT_FALSE(get(address, 48089, "/serverinfo", {}, 1).delivered);
}

TEST_F(StreamingHostTest, TwoBoxesNeverShareAnAddress) {
    StreamingHost rival(options());
    EXPECT_THROW(rival.start(), corvane::Error);
    EXPECT_TRUE(get(address, 48089, "/serverinfo").xml);
}

} // namespace
} // namespace corvane::boxsim
