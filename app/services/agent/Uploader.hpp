#pragma once

#include "platform/http/Http.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>

namespace corvane {

// One upload of one file as the body of a prepared request (the agent's drop file: PUT with
// "Content-Type: application/octet-stream"), as one blocking call. The file is streamed from disk.
// Any 2xx succeeds. Another status throws AgentClient::AgentError with the reply's "error" text or
// "upload failed"; a transfer failure throws platform::HttpError. A refusal ends the call once its first
// 4096 bytes are in, however much more it would send. `onSent` gets the running total of body bytes sent,
// on the calling thread. `transport` stands in for the HTTP layer in tests.
class Uploader final {
public:
    using Sent = std::function<void(std::int64_t totalSent)>;

    static constexpr double kDirectRequestSeconds = 120;  // silence, when the request names none
    static constexpr double kResourceSeconds = 604800;
    static constexpr std::size_t kKeptReplyBytes = 4096;

    static void upload(platform::HttpRequest request, const std::filesystem::path& file, Sent onSent,
                       std::stop_token stop = {}, const platform::Http::Transport& transport = {});

private:
    explicit Uploader(Sent onSent) : onSent(std::move(onSent)) {}
    void run(platform::HttpRequest request, const std::filesystem::path& file, std::stop_token stop,
             const platform::Http::Transport& transport);

    Sent onSent;
    int status = 0;
    Bytes body;  // the start of the reply: chunks are kept until it holds 4096 bytes
};

} // namespace corvane
