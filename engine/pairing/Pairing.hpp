#pragma once

#include "engine/host/HostTransport.hpp"
#include "engine/pairing/identity/ClientIdentity.hpp"
#include "platform/core/Bytes.hpp"
#include "platform/core/Error.hpp"

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

namespace corvane::stream {

// The streaming host's five-step PIN pairing. While the host waits for the PIN to be entered on the box,
// the caller's approval callback gets it there; the two run side by side.
namespace Pairing {

class Failure;

// Has the PIN entered on the box; returns when it was, throws otherwise. It runs on its own thread and may
// outlive the `pair` call that started it (after a failure it is only asked to stop), so it must own
// everything it uses. It should honour the stop token and end on its own in any case.
using Approve = std::function<void(const std::string& pin, std::stop_token stop)>;

// Runs one pairing and returns the box's certificate (DER). Throws Failure, or the error of the transport,
// of the reply check, of the crypto or of the certificate reader unchanged. A failure after the version
// check is logged and withdrawn on the host with "/unpair" before it is thrown. `stop` cancels the steps
// the caller waits for; the first step and the approval run on regardless, as their own tasks.
Bytes pair(HostTransport& transport, const ClientIdentity& identity, const std::string& pin,
           const std::string& deviceName, std::int64_t serverMajorVersion, Approve approve,
           std::stop_token stop = {});

} // namespace Pairing

class Pairing::Failure final : public corvane::Error {
public:
    enum class Kind { refused, badReply, approvalFailed, unsupportedServer, wrongPIN, badSignature };

    static Failure refused(const std::string& step);
    static Failure badReply(const std::string& step);
    static Failure approvalFailed(const std::string& approvalError);
    static Failure unsupportedServer(const std::string& version);
    static Failure wrongPIN();
    static Failure badSignature();

    Kind kind;
    std::string payload;  // step name, approval error or version; empty for the last two

    bool operator==(const Failure& other) const { return kind == other.kind && payload == other.payload; }

private:
    Failure(Kind kind, std::string payload, std::string description)
        : corvane::Error(std::move(description)), kind(kind), payload(std::move(payload)) {}
};

} // namespace corvane::stream
