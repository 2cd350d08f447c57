#include "engine/BoxHost.hpp"

#include "boxsim/host/StreamingHost.hpp"
#include "engine/EngineLog.hpp"
#include "engine/host/HostError.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "platform/http/Http.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

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
        EngineLog::setSink([this](const std::string& line) {
            std::lock_guard guard(logMutex);
            log.push_back(line);
        });
        boxsim::StreamingHost::Options options;
        options.address = address;
        box = std::make_shared<boxsim::StreamingHost>(options);
        box->start();
    }
    void TearDown() override { EngineLog::setSink(nullptr); }

    bool logged(const std::string& line) {
        std::lock_guard guard(logMutex);
        return std::find(log.begin(), log.end(), "[engine] " + line) != log.end();
    }
    bool loggedStartingWith(const std::string& prefix) {
        std::lock_guard guard(logMutex);
        return std::any_of(log.begin(), log.end(), [&](const auto& l) { return l.starts_with("[engine] " + prefix); });
    }

    // The approval the application gives: it has the PIN entered on the box. It holds the box by a shared
    // pointer since it may outlive the pairing call.
    Pairing::Approve approveOnBox() {
        return [box = box](const std::string& pin, std::stop_token) { box->enterPin(pin); };
    }

    static StreamConfig config() { return StreamConfig(2560, 1440, 60, 20000, StreamConfig::Codec::hevc, 2, 1392); }

    test::TempDir dir;
    std::string address = test::uniqueLoopbackAddress();
    std::shared_ptr<boxsim::StreamingHost> box;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json");
    BoxHost host{address, 48089, ClientIdentityStore("Corvane Stream Client", platform::KeyStore(dir.path() / "keys")),
                 defaults};
    std::mutex logMutex;
    std::vector<std::string> log;
};

TEST_F(BoxHostIntegrationTest, PairsThenTalksToTheBoxOverPinnedHttps) {
    // Not paired yet: one public request answers that, nothing goes over HTTPS.
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);
    ASSERT_EQ(box->requests().size(), 1u);
    EXPECT_FALSE(box->requests()[0].secure);

    host.pair("Corvane", approveOnBox());
    EXPECT_EQ(host.savedServerCertificate(box->uniqueId()), box->certificateDER());
    const ClientIdentity identity = host.identityStore.loadOrCreate();
    ASSERT_EQ(box->pairedClients().size(), 1u);
    EXPECT_EQ(box->pairedClients()[0].certificateDER, identity.certificateDER);
    EXPECT_TRUE(logged("pair: step 1, sending certificate (client " + identity.uniqueID() + ")"));

    EXPECT_EQ(host.pairState(), BoxHost::PairState::paired);
    const auto apps = host.appList();
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].title, "Desktop");

    SessionKeys keys{Bytes{0x0a, 0xff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, -5};
    const auto started = host.start(apps[0].id, config(), keys, false);
    EXPECT_EQ(started.rtspPort(), 48010);
    const auto launch = box->lastRequest("/launch");
    ASSERT_TRUE(launch);
    EXPECT_TRUE(launch->secure);
    EXPECT_EQ(launch->clientCertificateDER, identity.certificateDER);
    EXPECT_EQ(launch->item("rikey"), hex(keys.key));
    EXPECT_EQ(launch->item("rikeyid"), "-5");
    EXPECT_EQ(launch->item("mode"), "2560x1440x60");
    EXPECT_EQ(box->currentGame(), apps[0].id);

    host.start(apps[0].id, config(), keys, true);
    EXPECT_TRUE(box->lastRequest("/resume"));
    host.cancel();
    EXPECT_TRUE(logged("session: cancel ok (1)"));
    EXPECT_EQ(box->currentGame(), 0);

    // Nothing that reached the engine's log carries the session key.
    std::lock_guard guard(logMutex);
    for (const auto& line : log) EXPECT_EQ(line.find(hex(keys.key)), std::string::npos) << line;
}

TEST_F(BoxHostIntegrationTest, EachPairingFailureIsReportedAndWithdrawn) {
    struct Case {
        boxsim::StreamingHost::Fault fault;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {fault("", "", [](Fault& f) { f.wrongPin = true; }), "the PIN didn't match"},
        {fault("", "", [](Fault& f) { f.badSignature = true; }), "the box's pairing signature is not valid"},
        {fault("/pair", "clientpairingsecret", [](Fault& f) { f.notPaired = true; }),
         "the box refused pairing at clientpairingsecret"},
        {fault("/pair", "getservercert", [](Fault& f) { f.notPaired = true; }),
         "the box refused pairing at getservercert"},
        {fault("/pair", "clientchallenge", [](Fault& f) { f.malformedXml = true; f.httpStatus = 500; }),
         "HTTP 500"},
    };
    for (const auto& c : cases) {
        box->clearRequests();
        box->addFault(c.fault);
        try {
            host.pair("Corvane", approveOnBox());
            ADD_FAILURE() << "paired despite " << c.expected;
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.expected);
        }
        EXPECT_TRUE(logged("pair: failed: " + c.expected));
        const auto requests = box->requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().path, "/unpair") << c.expected;
        EXPECT_FALSE(host.savedServerCertificate(box->uniqueId())) << c.expected;
    }
}

TEST_F(BoxHostIntegrationTest, AnImpostorNeverSeesARequestOrTheSessionKey) {
    host.pair("Corvane", approveOnBox());
    box->stop();

    // Another server takes the box's address and unique id, with a certificate of its own.
    boxsim::StreamingHost::Options options = box->options();
    auto impostor = std::make_shared<boxsim::StreamingHost>(options);
    impostor->start();

    const SessionKeys keys = SessionKeys::random();
    try {
        host.start(881448767, config(), keys, false);
        FAIL() << "launched on an impostor";
    } catch (const platform::HttpError& e) {
        EXPECT_EQ(e.kind, platform::HttpError::Kind::cancelled);
    }
    EXPECT_TRUE(logged("https: rejected the box's certificate (not the one saved at pairing)"));
    for (const auto& request : impostor->requests()) {
        EXPECT_FALSE(request.secure) << request.requestLine;
        EXPECT_EQ(request.target.find("rikey"), std::string::npos) << request.requestLine;
    }
    EXPECT_FALSE(impostor->lastRequest("/launch"));
    // A rejected pin is no verdict on the pairing.
    EXPECT_EQ(host.pairState(), BoxHost::PairState::unknown);
}

TEST_F(BoxHostIntegrationTest, UnpairIsConfirmedByTheBoxAndForgetsLocallyEvenWhenItIsGone) {
    host.pair("Corvane", approveOnBox());
    EXPECT_TRUE(host.unpair());
    EXPECT_TRUE(box->pairedClients().empty());
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);

    host.pair("Corvane", approveOnBox());
    const std::string firstID = host.identityStore.loadOrCreate().uniqueID();
    box->stop();
    EXPECT_FALSE(host.unpair());
    EXPECT_TRUE(loggedStartingWith("pair: the box did not remove this Mac's certificate: "));
    EXPECT_FALSE(host.savedServerCertificate(box->uniqueId()));
    EXPECT_NE(host.identityStore.loadOrCreate().uniqueID(), firstID);
}

TEST_F(BoxHostIntegrationTest, ARecordWithAnyValueThatIsNotBytesCountsAsAbsent) {
    defaults->set("CorvaneStream.PairedBoxes.Corvane Stream Client",
                  {platform::DefaultsValue::Dictionary{{"OTHER", {std::string("not bytes")}}}});
    EXPECT_EQ(host.pairState(), BoxHost::PairState::notPaired);
    host.pair("Corvane", approveOnBox());
    const auto record = defaults->object("CorvaneStream.PairedBoxes.Corvane Stream Client");
    ASSERT_TRUE(record);
    const auto* dictionary = record->get<platform::DefaultsValue::Dictionary>();
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(dictionary->size(), 1u);
    EXPECT_TRUE(dictionary->contains(box->uniqueId()));
}

TEST_F(BoxHostIntegrationTest, LaunchRefusalsAndMissingSessionsAreErrors) {
    EXPECT_THROW(host.appList(), HostError);  // nothing saved: untrusted
    host.pair("Corvane", approveOnBox());
    box->addFault(fault("/launch", "", [](Fault& f) { f.emptySessionUrl = true; }));
    EXPECT_THROW(host.start(881448767, config(), SessionKeys::random(), false), HostError);
    box->addFault(fault("/launch", "", [](Fault& f) {
        f.statusCode = 503;
        f.statusMessage = "busy";
    }));
    try {
        host.start(881448767, config(), SessionKeys::random(), false);
        FAIL();
    } catch (const HostError& e) {
        EXPECT_STREQ(e.what(), "box replied 503: busy");
    }
}

} // namespace
} // namespace corvane::stream
