#include "engine/pairing/Pairing.hpp"

#include "engine/EngineLog.hpp"
#include "engine/Text.hpp"
#include "engine/Uuid.hpp"
#include "engine/host/HostConnection.hpp"
#include "engine/host/HostReply.hpp"
#include "engine/pairing/identity/Hex.hpp"
#include "engine/pairing/identity/PairingCrypto.hpp"
#include "engine/pairing/identity/X509.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace corvane::stream {

Pairing::Failure Pairing::Failure::refused(const std::string& step) {
    return {Kind::refused, step, "the box refused pairing at " + step};
}
Pairing::Failure Pairing::Failure::badReply(const std::string& step) {
    return {Kind::badReply, step, "unexpected pairing reply at " + step};
}
Pairing::Failure Pairing::Failure::approvalFailed(const std::string& approvalError) {
    return {Kind::approvalFailed, approvalError, "the box did not approve the PIN: " + approvalError};
}
Pairing::Failure Pairing::Failure::unsupportedServer(const std::string& version) {
    return {Kind::unsupportedServer, version, "box version " + version + " is too old for Corvane's engine"};
}
Pairing::Failure Pairing::Failure::wrongPIN() { return {Kind::wrongPIN, "", "the PIN didn't match"}; }
Pairing::Failure Pairing::Failure::badSignature() {
    return {Kind::badSignature, "", "the box's pairing signature is not valid"};
}

namespace {

// The approval runs as a task of its own that pairing never joins: after a failure pairing only asks it to
// stop and returns. Everything the task touches therefore lives here, owned jointly by the task and `pair`.
class ApprovalTask {
public:
    static std::shared_ptr<ApprovalTask> start(Pairing::Approve approve, std::string pin,
                                               std::stop_source step1) {
        auto task = std::make_shared<ApprovalTask>();
        std::thread([task, approve = std::move(approve), pin = std::move(pin), step1]() mutable {
            std::exception_ptr error;
            try {
                approve(pin, task->stop_.get_token());
            } catch (...) {
                error = std::current_exception();
                step1.request_stop();  // the PIN will not be entered: stop waiting for the box
            }
            std::lock_guard guard(task->mutex_);
            task->error_ = error;
            task->finished_ = true;
            task->done_.notify_all();
        }).detach();
        return task;
    }

    // Waits for the approval to end and gives its error, if any.
    std::exception_ptr wait() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return finished_; });
        return error_;
    }

    void cancel() { stop_.request_stop(); }

private:
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::exception_ptr error_;
};

bool isPaired(const HostXML& reply) { return reply["paired"] == "1"; }

std::optional<Bytes> hexElement(const HostXML& reply, const char* name) {
    const auto text = reply[name];
    if (!text) return std::nullopt;
    return bytesFromHex(*text);
}

} // namespace

Bytes Pairing::pair(HostTransport& transport, const ClientIdentity& identity, const std::string& pin,
                    const std::string& deviceName, std::int64_t serverMajorVersion, Approve approve,
                    std::stop_token stop) {
    if (serverMajorVersion < 7) throw Failure::unsupportedServer(std::to_string(serverMajorVersion));

    const QueryItems common{{"uniqueid", identity.uniqueID()}, {"devicename", deviceName}, {"updateState", "1"}};
    auto request = [&](const std::string& path, const QueryItems& items, bool secure, double timeout,
                       std::stop_token token) {
        QueryItems query = common;
        query.emplace_back("uuid", randomUUIDString());
        query.insert(query.end(), items.begin(), items.end());
        return transport.get(path, query, secure, timeout, token);
    };
    auto checked = [&](const std::string& step, const QueryItems& items, bool secure) {
        HostXML reply = request("/pair", items, secure, 15, stop);
        HostReply::check(reply);
        if (!isPaired(reply)) throw Failure::refused(step);
        return reply;
    };

    std::shared_ptr<ApprovalTask> approval;
    try {
        const Bytes salt = PairingCrypto::random(16);
        const Bytes key = PairingCrypto::pairingKey(salt, pin);

        EngineLog::write("pair: step 1, sending certificate (client " + identity.uniqueID() + ")");
        std::stop_source step1Stop;
        std::optional<HostXML> step1Reply;
        std::exception_ptr step1Error;
        std::thread step1([&, token = step1Stop.get_token()] {
            try {
                HostXML reply = request("/pair",
                                        {{"phrase", "getservercert"},
                                         {"salt", hex(salt)},
                                         {"clientcert", hex(bytesOf(identity.certificatePEM()))}},
                                        false, 75, token);
                HostReply::check(reply);
                if (!isPaired(reply)) throw Failure::refused("getservercert");
                step1Reply = std::move(reply);
            } catch (...) {
                step1Error = std::current_exception();
            }
        });
        try {
            approval = ApprovalTask::start(std::move(approve), pin, step1Stop);
        } catch (...) {
            step1Stop.request_stop();
            step1.join();
            throw;
        }
        step1.join();
        if (step1Error) {
            if (const auto approvalError = approval->wait()) throw Failure::approvalFailed(text::messageOf(approvalError));
            std::rethrow_exception(step1Error);
        }

        const auto plaincert = hexElement(*step1Reply, "plaincert");
        std::optional<Bytes> boxCertificate;
        if (plaincert) boxCertificate = X509::derFromPEM(std::string(plaincert->begin(), plaincert->end()));
        if (!boxCertificate) throw Failure::badReply("getservercert");
        const Bytes boxCertificateSignature = X509::signatureOfDER(*boxCertificate);

        EngineLog::write("pair: step 2, challenge");
        const Bytes clientChallenge = PairingCrypto::random(16);
        const HostXML reply2 =
            checked("clientchallenge", {{"clientchallenge", hex(PairingCrypto::aesECB(clientChallenge, key, true))}},
                    false);
        const auto challengeResponse = hexElement(reply2, "challengeresponse");
        if (!challengeResponse || challengeResponse->size() != 48) throw Failure::badReply("clientchallenge");
        const Bytes decrypted = PairingCrypto::aesECB(*challengeResponse, key, false);
        const Bytes serverResponse(decrypted.begin(), decrypted.begin() + 32);
        const Bytes serverChallenge(decrypted.begin() + 32, decrypted.end());

        EngineLog::write("pair: step 3, challenge response");
        const Bytes clientSecret = PairingCrypto::random(16);
        const Bytes hash = PairingCrypto::sha256(
            {serverChallenge, X509::signatureOfDER(identity.certificateDER), clientSecret});
        const HostXML reply3 =
            checked("serverchallengeresp", {{"serverchallengeresp", hex(PairingCrypto::aesECB(hash, key, true))}},
                    false);
        const auto pairingSecret = hexElement(reply3, "pairingsecret");
        if (!pairingSecret || pairingSecret->size() < 17) throw Failure::badReply("serverchallengeresp");
        const Bytes boxSecret(pairingSecret->begin(), pairingSecret->begin() + 16);
        const Bytes boxSecretSignature(pairingSecret->begin() + 16, pairingSecret->end());
        if (!PairingCrypto::verify(boxSecret, boxSecretSignature, *boxCertificate)) throw Failure::badSignature();
        if (PairingCrypto::sha256({clientChallenge, boxCertificateSignature, boxSecret}) != serverResponse)
            throw Failure::wrongPIN();

        EngineLog::write("pair: step 4, client secret");
        Bytes secretAndSignature = clientSecret;
        const Bytes signature = PairingCrypto::sign(clientSecret, identity.privateKey);
        secretAndSignature.insert(secretAndSignature.end(), signature.begin(), signature.end());
        checked("clientpairingsecret", {{"clientpairingsecret", hex(secretAndSignature)}}, false);

        EngineLog::write("pair: step 5, confirming over HTTPS");
        if (auto* connection = dynamic_cast<HostConnection*>(&transport))
            connection->setServerCertificateDER(*boxCertificate);
        checked("pairchallenge", {{"phrase", "pairchallenge"}}, true);

        if (const auto approvalError = approval->wait())
            EngineLog::write("pair: paired, though the approval reported: " + text::messageOf(approvalError));
        else
            EngineLog::write("pair: paired");
        return *boxCertificate;
    } catch (...) {
        if (approval) approval->cancel();
        const auto error = std::current_exception();
        EngineLog::write("pair: failed: " + text::messageOf(error));
        try {
            request("/unpair", {}, false, 5, {});
        } catch (...) {
            // The clean-up is best effort; the caller hears of the failure that started it.
        }
        throw;
    }
}

} // namespace corvane::stream
