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
    static StreamingHost::Fault pairFault(const std::string& step) {
        StreamingHost::Fault fault;
        fault.path = "/pair";
        fault.step = step;
        return fault;
    }

    std::string address = corvane::test::uniqueLoopbackAddress();
    std::unique_ptr<StreamingHost> host;
    TestIdentity identity;
};

TEST_F(StreamingHostPairingTest, FiveStepsWithThePinTypedWhileTheFirstStepWaits) {
    PairingClient client(address, identity);
    auto first = std::async(std::launch::async, [&] { return client.getServerCert("0042"); });
    while (!host->lastRequest("/pair")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    EXPECT_EQ(paired[0].deviceName, "test desktop");
    EXPECT_EQ(paired[0].certificateDER, identity.der);
    const Reply info = test::getSecure(address, "/serverinfo", {}, &identity);
    ASSERT_TRUE(info.xml);
    EXPECT_EQ((*info.xml)["PairStatus"], "1");
}

TEST_F(StreamingHostPairingTest, APinTypedJustBeforeTheRequestCountsOnce) {
    host->enterPin("9999");
    PairingClient client(address, identity);
    EXPECT_TRUE(client.pairAll("9999"));
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

TEST_F(StreamingHostPairingTest, AnotherPinOnTheBoxFailsTheFourthStep) {
    for (const bool scripted : {false, true}) {
        SCOPED_TRACE(scripted ? "wrongPin fault" : "user typed another PIN");
        PairingClient client(address, identity);
        if (scripted) host->addFault([] { StreamingHost::Fault f; f.wrongPin = true; return f; }());
        host->enterPin(scripted ? "1234" : "4321");
        ASSERT_TRUE(PairingClient::paired(client.getServerCert("1234")));
        ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
        EXPECT_TRUE(client.boxSignatureValid());
        EXPECT_FALSE(client.boxKnewThePin());
        EXPECT_FALSE(PairingClient::paired(client.clientPairingSecretStep()));
        EXPECT_FALSE(PairingClient::paired(client.pairChallengeStep()));
        EXPECT_TRUE(host->pairedClients().empty());
    }
    // The fault was used up: the same PIN now pairs.
    host->enterPin("1234");
    EXPECT_TRUE(PairingClient(address, identity).pairAll("1234"));
}

TEST_F(StreamingHostPairingTest, BadSignatureFaultCorruptsOnlyTheSignature) {
    StreamingHost::Fault fault;
    fault.badSignature = true;
    host->addFault(fault);
    host->enterPin("5555");
    PairingClient client(address, identity);
    ASSERT_TRUE(PairingClient::paired(client.getServerCert("5555")));
    ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
    EXPECT_EQ(host->pendingFaults(), 1u) << "the fault waits for the step it acts on";
    ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
    EXPECT_EQ(host->pendingFaults(), 0u);
    EXPECT_FALSE(client.boxSignatureValid());
    EXPECT_TRUE(client.boxKnewThePin());
}

TEST_F(StreamingHostPairingTest, NotPairedAtAStepEndsTheRun) {
    StreamingHost::Fault fault = pairFault("clientchallenge");
    fault.notPaired = true;
    host->addFault(fault);
    host->enterPin("0000");
    PairingClient client(address, identity);
    ASSERT_TRUE(PairingClient::paired(client.getServerCert("0000")));
    const Reply refused = client.clientChallengeStep();
    ASSERT_TRUE(refused.xml);
    EXPECT_EQ(refused.xml->statusCode(), 200);
    EXPECT_EQ((*refused.xml)["paired"], "0");
    EXPECT_FALSE(PairingClient::paired(client.clientChallengeStep())) << "a refused run cannot be continued";
}

TEST_F(StreamingHostPairingTest, TheBoxChecksTheClientsSignatureAndCertificate) {
    // A client secret signed by some other key.
    {
        TestIdentity other;
        host->enterPin("1000");
        PairingClient client(address, identity);
        ASSERT_TRUE(PairingClient::paired(client.getServerCert("1000")));
        ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
        const test::Bytes forged = test::sign(client.clientSecret, other.key.get());
        const Reply reply = test::get(address, 47989, "/pair",
                                      client.with({{"clientpairingsecret", test::hex(test::concat({client.clientSecret, forged}))}}));
        EXPECT_FALSE(PairingClient::paired(reply));
    }
    // The HTTPS confirmation must come with the certificate sent in the first step.
    {
        host->enterPin("2000");
        PairingClient client(address, identity);
        ASSERT_TRUE(PairingClient::paired(client.getServerCert("2000")));
        ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.clientPairingSecretStep()));
        const Reply plain = test::get(address, 47989, "/pair", client.with({{"phrase", "pairchallenge"}}));
        EXPECT_FALSE(PairingClient::paired(plain)) << "confirmed over plain HTTP";
    }
    {
        TestIdentity other;
        host->enterPin("3000");
        PairingClient client(address, identity);
        ASSERT_TRUE(PairingClient::paired(client.getServerCert("3000")));
        ASSERT_TRUE(PairingClient::paired(client.clientChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.serverChallengeStep()));
        ASSERT_TRUE(PairingClient::paired(client.clientPairingSecretStep()));
        const Reply wrong = test::getSecure(address, "/pair", client.with({{"phrase", "pairchallenge"}}), &other);
        EXPECT_FALSE(PairingClient::paired(wrong));
    }
    EXPECT_TRUE(host->pairedClients().empty());
}

TEST_F(StreamingHostPairingTest, HttpsAdmitsOnlyPairedCertificatesOncePaired) {
    host->enterPin("1234");
    ASSERT_TRUE(PairingClient(address, identity).pairAll("1234"));

    TestIdentity stranger;
    const std::size_t refusedBefore = host->refusedHandshakes();
    EXPECT_FALSE(test::getSecure(address, "/serverinfo", {}, &stranger).delivered);
    EXPECT_GT(host->refusedHandshakes(), refusedBefore);
    const Reply anonymous = test::getSecure(address, "/applist", {}, nullptr);
    ASSERT_TRUE(anonymous.xml);
    EXPECT_EQ(anonymous.xml->statusCode(), 401);
    EXPECT_TRUE(test::getSecure(address, "/applist", {}, &identity).xml);

    // A second desktop pairs: its HTTPS confirmation is let in while its run waits for it.
    PairingClient second(address, stranger);
    second.uniqueId = "FEDCBA9876543210";
    host->enterPin("7777");
    EXPECT_TRUE(second.pairAll("7777"));
    EXPECT_EQ(host->pairedClients().size(), 2u);
    EXPECT_EQ((*test::getSecure(address, "/serverinfo", {}, &stranger).xml)["PairStatus"], "1");
}

TEST_F(StreamingHostPairingTest, UnpairDropsByUniqueIdOverHttpAndByCertificateOverHttps) {
    host->enterPin("1234");
    ASSERT_TRUE(PairingClient(address, identity).pairAll("1234"));
    TestIdentity second;
    host->addPairedClient({"SECOND", "other", second.der});

    const Reply secure = test::getSecure(address, "/unpair", {{"uniqueid", "whatever"}}, &second);
    ASSERT_TRUE(secure.xml);
    EXPECT_EQ(secure.xml->statusCode(), 200);
    ASSERT_EQ(host->pairedClients().size(), 1u);
    EXPECT_EQ(host->pairedClients()[0].uniqueId, "0123456789ABCDEF");

    const Reply plain = test::get(address, 47989, "/unpair", {{"uniqueid", "0123456789ABCDEF"}, {"uuid", "U"}});
    ASSERT_TRUE(plain.xml);
    EXPECT_EQ(plain.xml->statusCode(), 200);
    EXPECT_TRUE(host->pairedClients().empty());
}

} // namespace
} // namespace corvane::boxsim
