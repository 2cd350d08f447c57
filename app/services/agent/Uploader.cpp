#include "app/services/agent/Uploader.hpp"

#include <utility>

#include <nlohmann/json.hpp>

#include "app/services/agent/AgentClient.hpp"

namespace corvane {

void Uploader::upload(platform::HttpRequest request, const std::filesystem::path& file, Sent onSent,
                      std::stop_token stop) {
    Uploader(std::move(onSent)).run(std::move(request), file, stop);
}

void Uploader::run(platform::HttpRequest request, const std::filesystem::path& file, std::stop_token stop) {
    if (request.idleTimeoutSeconds <= 0) request.idleTimeoutSeconds = kDirectRequestSeconds;
    request.timeoutSeconds = kResourceSeconds;
    request.body.reset();
    request.bodyFile = file;
    request.onSent = [this](std::uint64_t sent) {
        if (onSent) onSent(static_cast<std::int64_t>(sent));
    };

    platform::HttpReceiver receiver;
    receiver.onHead = [this](long code, std::optional<std::uint64_t>) { status = static_cast<int>(code); };
    receiver.onBody = [this](ByteView piece) {
        // Only the start of a reply matters (its error text); later pieces are dropped whole.
        if (body.size() >= kKeptReplyBytes) return;
        body.insert(body.end(), piece.begin(), piece.end());
    };
    platform::Http::perform(request, stop, &receiver);

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
