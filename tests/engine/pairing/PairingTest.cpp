#include "engine/pairing/Pairing.hpp"
#include "engine/EngineLog.hpp"
#include "engine/host/HostError.hpp"
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
    FakeTransport transport;
    corvane::test::EngineLogCapture log;
};

TEST_F(PairingTest, AnOldHostIsRefusedBeforeAnyRequest) {
    transport.answer = [](const auto&, std::stop_token) -> HostXML { throw std::logic_error("no request expected"); };
    try {
        Pairing::pair(transport, identity(), "1234", "Corvane", 6, [](const std::string&, std::stop_token) {});
        FAIL();
    } catch (const Pairing::Failure& failure) {
        EXPECT_STREQ(failure.what(), "box version 6 is too old for Corvane's engine");
    }
    EXPECT_TRUE(transport.recorded().empty());
    EXPECT_TRUE(log.all().empty());
}

TEST_F(PairingTest, ARefusedFirstStepIsWithdrawnWithTheSameCommonItems) {
    transport.answer = [](const auto&, std::stop_token) { return reply("0"); };
    EXPECT_THROW(Pairing::pair(transport, identity(), "0042", "Corvane", 7, [](const std::string&, std::stop_token) {}),
                 Pairing::Failure);
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
    try {
        Pairing::pair(transport, identity(), "0007", "Corvane", 7, [&](const std::string& pin, std::stop_token) {
            pinSeen = pin;
            throw std::runtime_error("the box did not accept the PIN");
        });
        FAIL();
    } catch (const Pairing::Failure& failure) {
        EXPECT_EQ(failure, Pairing::Failure::approvalFailed("the box did not accept the PIN"));
    }
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
    try {
        Pairing::pair(transport, identity(), "1234", "Corvane", 7, [&](const std::string&, std::stop_token) {
            std::this_thread::sleep_for(50ms);
            approvalEnded = true;
            throw std::runtime_error("late");
        });
        FAIL();
    } catch (const Pairing::Failure& failure) {
        EXPECT_TRUE(approvalEnded);
        EXPECT_EQ(failure, Pairing::Failure::approvalFailed("late"));
    }
    // With an approval that succeeds, the first step's own error comes through, whatever the clean-up did.
    try {
        Pairing::pair(transport, identity(), "1234", "Corvane", 7, [](const std::string&, std::stop_token) {});
        FAIL();
    } catch (const HostError& error) {
        EXPECT_STREQ(error.what(), "box replied 503: busy");
    }
    EXPECT_EQ(log.all().back(), "[engine] pair: failed: box replied 503: busy");
}

TEST_F(PairingTest, AnApprovalStillRunningAfterAFailureOwnsWhatItUses) {
    // The first step passes but brings no certificate, so pairing fails while the approval still waits.
    transport.answer = [](const FakeTransport::Request&, std::stop_token) { return reply("1"); };
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    EXPECT_THROW(Pairing::pair(transport, identity(), "1234", "Corvane", 7,
                               [release, finished](const std::string& pin, std::stop_token stop) {
                                   while (!stop.stop_requested() && !*release) std::this_thread::sleep_for(1ms);
                                   EXPECT_EQ(pin, "1234");  // still readable after pair returned
                                   *finished = true;
                               }),
                 Pairing::Failure);
    // pair asked the approval to stop; it ends on its own.
    for (int i = 0; i < 2000 && !*finished; ++i) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(*finished);
}

} // namespace
} // namespace corvane::stream
