#include "engine/pairing/Pairing.hpp"
#include "engine/EngineLog.hpp"
#include "engine/host/HostError.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "tests/support/EngineLogCapture.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

// A transport that answers from a script and records what it was asked. The first step can be made to
// wait until it is stopped, as a real box waits for its PIN.
class FakeTransport final : public HostTransport {
public:
    struct Request {
        std::string path;
        QueryItems query;
        bool secure;
    };
    std::function<HostXML(const Request&, std::stop_token)> answer;
    HostXML get(const std::string& path, const QueryItems& query, bool secure, double, std::stop_token stop) override {
        const Request request{path, query, secure};
        std::unique_lock guard(mutex);
        requests.push_back(request);
        guard.unlock();
        return answer(request, stop);
    }
    std::vector<Request> recorded() {
        std::lock_guard guard(mutex);
        return requests;
    }

private:
    std::mutex mutex;
    std::vector<Request> requests;
};

HostXML reply(std::string paired) {
    return *HostXML::parse(bytesOf("<root status_code=\"200\"><paired>" + paired + "</paired></root>"));
}

HostXML waitUntilStopped(std::stop_token stop) {
    while (!stop.stop_requested()) std::this_thread::sleep_for(1ms);
    throw std::runtime_error("cancelled");
}

class PairingTest : public ::testing::Test {
protected:
    static const ClientIdentity& identity() {
        static const ClientIdentity made = [] {
            auto [key, der] = ClientIdentity::generate("Corvane Stream Client", std::nullopt, nullptr);
            return ClientIdentity{key, der, std::nullopt};
        }();
        return made;
    }
    // Pairs as "Corvane" with a box of `version`; the approval does nothing unless given.
    void pair(const std::string& pin = "1234", Pairing::Approve approve = {}, std::int64_t version = 7) {
        if (!approve) approve = [](const std::string&, std::stop_token) {};
        Pairing::pair(transport, identity(), pin, "Corvane", version, std::move(approve));
    }
    FakeTransport transport;
    corvane::test::EngineLogCapture log;
};

TEST_F(PairingTest, AnOldHostIsRefusedBeforeAnyRequest) {
    transport.answer = [](const auto&, std::stop_token) -> HostXML { throw std::logic_error("no request expected"); };
    EXPECT_EQ(test::failureOf<Pairing::Failure>([&] { pair("1234", {}, 6); }),
              "box version 6 is too old for Corvane's engine");
    EXPECT_TRUE(transport.recorded().empty());
    EXPECT_TRUE(log.all().empty());
}

TEST_F(PairingTest, ARefusedFirstStepIsWithdrawnWithTheSameCommonItems) {
    transport.answer = [](const auto&, std::stop_token) { return reply("0"); };
    EXPECT_THROW(pair("0042"), Pairing::Failure);
    const auto requests = transport.recorded();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/pair");
    EXPECT_EQ(requests[1].path, "/unpair");
    for (const auto& r : requests) {
        EXPECT_FALSE(r.secure);
        ASSERT_GE(r.query.size(), 4u);
        EXPECT_EQ(QueryItems(r.query.begin(), r.query.begin() + 3),
                  (QueryItems{{"uniqueid", identity().uniqueID()}, {"devicename", "Corvane"}, {"updateState", "1"}}));
        EXPECT_EQ(r.query[3].first, "uuid");
    }
    EXPECT_NE(requests[0].query[3].second, requests[1].query[3].second);
    EXPECT_EQ(requests[0].query[4], (std::pair<std::string, std::string>{"phrase", "getservercert"}));
    EXPECT_EQ(requests[1].query.size(), 4u);
    EXPECT_EQ(log.all().back(), "[engine] pair: failed: the box refused pairing at getservercert");
}

TEST_F(PairingTest, AFailedApprovalCancelsTheWaitingFirstStep) {
    transport.answer = [](const FakeTransport::Request& r, std::stop_token stop) {
        if (r.path == "/unpair") return reply("0");
        return waitUntilStopped(stop);
    };
    std::string pinSeen;
    EXPECT_EQ(test::failureOf<Pairing::Failure>([&] {
                  pair("0007", [&](const std::string& pin, std::stop_token) {
                      pinSeen = pin;
                      throw std::runtime_error("the box did not accept the PIN");
                  });
              }),
              "the box did not approve the PIN: the box did not accept the PIN");
    EXPECT_EQ(pinSeen, "0007");
    EXPECT_EQ(transport.recorded().back().path, "/unpair");
}

TEST_F(PairingTest, AFirstStepFailureWaitsForTheApprovalWhichDecides) {
    transport.answer = [](const FakeTransport::Request& r, std::stop_token) -> HostXML {
        if (r.path == "/unpair") throw std::runtime_error("clean-up failed too");
        throw HostError::status(503, "busy");
    };
    std::atomic<bool> approvalEnded{false};
    // The approval is still running when the first step fails; it fails as well, later, and wins.
    EXPECT_EQ(test::failureOf<Pairing::Failure>([&] {
                  pair("1234", [&](const std::string&, std::stop_token) {
                      std::this_thread::sleep_for(50ms);
                      approvalEnded = true;
                      throw std::runtime_error("late");
                  });
              }),
              "the box did not approve the PIN: late");
    EXPECT_TRUE(approvalEnded);
    // With an approval that succeeds, the first step's own error comes through, whatever the clean-up did.
    EXPECT_EQ(test::failureOf<HostError>([&] { pair(); }), "box replied 503: busy");
    EXPECT_EQ(log.all().back(), "[engine] pair: failed: box replied 503: busy");
}

TEST_F(PairingTest, AnApprovalStillRunningAfterAFailureOwnsWhatItUses) {
    // The first step passes but brings no certificate, so pairing fails while the approval still waits.
    transport.answer = [](const FakeTransport::Request&, std::stop_token) { return reply("1"); };
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    EXPECT_THROW(pair("1234", [release, finished](const std::string& pin, std::stop_token stop) {
                     while (!stop.stop_requested() && !*release) std::this_thread::sleep_for(1ms);
                     EXPECT_EQ(pin, "1234");  // still readable after pair returned
                     *finished = true;
                 }),
                 Pairing::Failure);
    // pair asked the approval to stop; it ends on its own.
    for (int i = 0; i < 2000 && !*finished; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(*finished);
}

// A box whose challenge response is not 48 bytes, or whose pairing secret is shorter than its 16 bytes and a
// signature, is refused at that step, before anything of it is used. (Its certificate: this client's own.)
TEST_F(PairingTest, RepliesOfTheWrongLengthAreRefusedAtTheirStep) {
    const struct { std::size_t response, secret; const char* failure; } rows[] = {
        {47, 17, "unexpected pairing reply at clientchallenge"},
        {49, 17, "unexpected pairing reply at clientchallenge"},
        {48, 16, "unexpected pairing reply at serverchallengeresp"},
        {48, 17, "the box's pairing signature is not valid"},  // long enough, but not signed by the box
    };
    for (const auto& row : rows) {
        transport.answer = [&](const FakeTransport::Request& r, std::stop_token) {
            const auto value = [&](const std::string& element, std::size_t bytes) {
                return "<" + element + ">" + hex(Bytes(bytes, 0x5A)) + "</" + element + ">";
            };
            std::string body = "<root status_code=\"200\"><paired>1</paired>";
            for (const auto& [name, ignored] : r.query) {
                if (name == "salt") body += "<plaincert>" + hex(bytesOf(identity().certificatePEM())) + "</plaincert>";
                if (name == "clientchallenge") body += value("challengeresponse", row.response);
                if (name == "serverchallengeresp") body += value("pairingsecret", row.secret);
            }
            return *HostXML::parse(bytesOf(body + "</root>"));
        };
        EXPECT_EQ(test::failureOf<Pairing::Failure>([&] { pair(); }), row.failure);
    }
}

} // namespace
} // namespace corvane::stream
