#include "app/services/agent/Uploader.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "app/services/agent/AgentClient.hpp"

namespace corvane {

void Uploader::upload(platform::HttpRequest request, const std::filesystem::path& file, Sent onSent,
                      std::stop_token stop, const platform::Http::Transport& transport) {
    Uploader(std::move(onSent)).run(std::move(request), file, stop, transport);
}

void Uploader::run(platform::HttpRequest request, const std::filesystem::path& file, std::stop_token stop,
                   const platform::Http::Transport& transport) {
    if (request.idleTimeoutSeconds <= 0) request.idleTimeoutSeconds = kDirectRequestSeconds;
    request.timeoutSeconds = kResourceSeconds;
    request.body.reset();
    request.bodyFile = file;
    request.onSent = [this](std::uint64_t sent) {
        if (onSent) onSent(static_cast<std::int64_t>(sent));
    };

    // Ends the transfer once a refusal has said all we keep of it.
    struct EnoughOfTheRefusal {};
    const auto refused = [this] { return status < 200 || status > 299; };

    platform::HttpReceiver receiver;
    receiver.onHead = [this](long code, std::optional<std::uint64_t>) { status = static_cast<int>(code); };
    receiver.onBody = [&](ByteView piece) {
        // Only the start of a reply matters (its error text); later pieces are dropped whole.
        if (body.size() < kKeptReplyBytes) body.insert(body.end(), piece.begin(), piece.end());
        if (body.size() >= kKeptReplyBytes && refused()) throw EnoughOfTheRefusal{};
    };
    try {
        platform::Http::perform(transport, request, stop, &receiver);
    } catch (const EnoughOfTheRefusal&) {
    }

    if (status >= 200 && status <= 299) return;
    std::string message = "upload failed";
    try {
        const auto value = AgentClient::parseJson(body);
        if (value.is_object()) {
            const auto found = value.find("error");
            if (found != value.end() && found->is_string()) message = found->get<std::string>();
        }
    } catch (const AgentClient::DecodeError&) {
    }
    throw AgentClient::AgentError(status, message);
}

} // namespace corvane
