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

using test::PairingClient;
using test::Reply;
using test::TestIdentity;

class StreamingHostPairingTest : public ::testing::Test {
protected:
    void SetUp() override {
        StreamingHost::Options options;
        options.address = address;
        options.pinWaitSeconds = 5;
        host = std::make_unique<StreamingHost>(options);
        host->start();
    }
    // A client through the first three steps with a PIN typed on the box beforehand.
    std::unique_ptr<PairingClient> throughThirdStep(const std::string& boxPin, std::string clientPin = "") {
        host->enterPin(boxPin);
        auto client = std::make_unique<PairingClient>(address, identity);
        EXPECT_TRUE(PairingClient::paired(client->getServerCert(clientPin.empty() ? boxPin : clientPin)));
        EXPECT_TRUE(PairingClient::paired(client->clientChallengeStep()));
        EXPECT_TRUE(PairingClient::paired(client->serverChallengeStep()));
        return client;
    }

    std::string address = corvane::test::uniqueLoopbackAddress();
    std::unique_ptr<StreamingHost> host;
    TestIdentity identity;
};

TEST_F(StreamingHostPairingTest, FiveStepsWithThePinTypedWhileTheFirstStepWaits) {
    PairingClient client(address, identity);
    auto first = std::async(std::launch::async, [&] { return client.getServerCert("0042"); });
    while (!host->lastRequest("/pair")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host->enterPin("0042");
    ASSERT_TRUE(PairingClient::paired(first.get()));
    EXPECT_EQ(client.boxCertificateDER, host->certificateDER());
    ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
    ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
    EXPECT_TRUE(client.boxSignatureValid());
    EXPECT_TRUE(client.boxKnewThePin());
    ASSERT_TRUE(PairingClient::paired(client.clientPairingSecretStep()));
    EXPECT_TRUE(host->pairedClients().empty()) << "paired before the HTTPS confirmation";
    ASSERT_TRUE(PairingClient::paired(client.pairChallengeStep()));
    const auto paired = host->pairedClients();
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0].uniqueId, "0123456789ABCDEF");
    EXPECT_EQ(paired[0].certificateDER, identity.der);

    // The PIN was used up: the next pairing waits for a new one and gives up.
    host->stop();
    StreamingHost::Options quick = host->options();
    quick.pinWaitSeconds = 0.3;
    host = std::make_unique<StreamingHost>(quick);
    host->start();
    host->enterPin("1111");
    EXPECT_TRUE(PairingClient::paired(client.getServerCert("1111")));
    EXPECT_FALSE(PairingClient::paired(client.getServerCert("1111")));
}

// The scripted pairing faults are exercised through the engine's pairing (BoxHostIntegrationTest).
TEST_F(StreamingHostPairingTest, AnotherPinOnTheBoxFailsTheFourthStep) {
    const auto client = throughThirdStep("4321", "1234");
    EXPECT_TRUE(client->boxSignatureValid());
    EXPECT_FALSE(client->boxKnewThePin());
    EXPECT_FALSE(PairingClient::paired(client->clientPairingSecretStep()));
    EXPECT_TRUE(host->pairedClients().empty());
}

TEST_F(StreamingHostPairingTest, TheBoxChecksTheClientsSignatureAndCertificate) {
    TestIdentity other;
    {
        const auto client = throughThirdStep("1000");
        const test::Bytes forged = test::sign(client->clientSecret, other.key.get());
        EXPECT_FALSE(PairingClient::paired(test::get(
            address, 47989, "/pair", client->with({{"clientpairingsecret", test::hex(test::concat({client->clientSecret, forged}))}}))));
    }
    // The confirmation must come over HTTPS with the certificate sent in the first step.
    const TestIdentity* confirmers[] = {nullptr, &other};
    for (const TestIdentity* confirmer : confirmers) {
        const auto client = throughThirdStep(confirmer ? "3000" : "2000");
        ASSERT_TRUE(PairingClient::paired(client->clientPairingSecretStep()));
        const auto query = client->with({{"phrase", "pairchallenge"}});
        EXPECT_FALSE(PairingClient::paired(confirmer ? test::getSecure(address, "/pair", query, confirmer)
                                                     : test::get(address, 47989, "/pair", query)));
    }
    EXPECT_TRUE(host->pairedClients().empty());
}

TEST_F(StreamingHostPairingTest, HttpsAdmitsOnlyPairedCertificatesOncePairedAndUnpairDrops) {
    host->enterPin("1234");
    ASSERT_TRUE(PairingClient(address, identity).pairAll("1234"));

    TestIdentity stranger;
    const std::size_t refusedBefore = host->refusedHandshakes();
    EXPECT_FALSE(test::getSecure(address, "/serverinfo", {}, &stranger).delivered);
    EXPECT_GT(host->refusedHandshakes(), refusedBefore);
    EXPECT_EQ(test::getSecure(address, "/applist", {}, nullptr).xml->statusCode(), 401);
    EXPECT_TRUE(test::getSecure(address, "/applist", {}, &identity).xml);

    // A second desktop pairs: its HTTPS confirmation is let in while its run waits for it.
    PairingClient second(address, stranger);
    second.uniqueId = "FEDCBA9876543210";
    host->enterPin("7777");
    EXPECT_TRUE(second.pairAll("7777"));
    EXPECT_EQ(host->pairedClients().size(), 2u);

    // Over HTTPS by certificate (whatever the uniqueid), over HTTP by uniqueid.
    EXPECT_EQ(test::getSecure(address, "/unpair", {{"uniqueid", "whatever"}}, &stranger).xml->statusCode(), 200);
    ASSERT_EQ(host->pairedClients().size(), 1u);
    EXPECT_EQ(host->pairedClients()[0].uniqueId, "0123456789ABCDEF");
    EXPECT_EQ(test::get(address, 47989, "/unpair", {{"uniqueid", "0123456789ABCDEF"}}).xml->statusCode(), 200);
    EXPECT_TRUE(host->pairedClients().empty());
}

} // namespace
} // namespace corvane::boxsim
