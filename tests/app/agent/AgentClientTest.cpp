#include "app/services/agent/AgentReplies.hpp"
#include "app/services/BoxEndpoint.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace corvane {
namespace {

using platform::HttpRequest;
using platform::HttpResponse;

// An agent client whose requests go to a fake that records them and answers with `status` and `body`.
struct FakeAgent {
    explicit FakeAgent(long status = 200, std::string body = "{}") : status(status), body(std::move(body)) {}
    long status;
    std::string body;
    std::vector<HttpRequest> requests;
    AgentClient client{"10.77.0.1", 47800, [this](const HttpRequest& request, std::stop_token, const platform::HttpReceiver*) {
                           requests.push_back(request);
                           return HttpResponse{status, Bytes(body.begin(), body.end())};
                       }};
};

TEST(AgentClientTest, EveryEndpointOnTheWire) {
    using Call = std::function<void(const AgentClient&)>;
    const std::string base = "http://10.77.0.1:47800";
    const struct { Call call; std::string request; double silence; } rows[] = {  // method, URL after `base`, body
        {[](auto& c) { c.info(); }, "GET /v1/info (none)", 3},
        {[](auto& c) { c.pair("0427", "My Laptop", true); }, R"(POST /v1/pair {"name":"My Laptop","pin":"0427","target":"host"})", 90},
        {[](auto& c) { c.pair("1", "n", false); }, R"(POST /v1/pair {"name":"n","pin":"1"})", 90},
        {[](auto& c) { c.checkUpdates(false); }, "GET /v1/updates (none)", 45},
        {[](auto& c) { c.checkUpdates(true); }, "GET /v1/updates?force=1 (none)", 45},
        {[](auto& c) { c.startUpdate("agent"); }, R"(POST /v1/update {"component":"agent"})", 10},
        {[](auto& c) { c.setUnpluggedSleep(-5); }, R"(POST /v1/settings {"unplugged_sleep_minutes":-5})", 10},
        {[](auto& c) { c.diagnostics(); }, "GET /v1/diagnostics (none)", 15},
        {[](auto& c) { c.status(); }, "GET /v1/status (none)", 4},
        {[](auto& c) { c.power("restart"); }, "POST /v1/power/restart (none)", 15},
        {[](auto& c) { c.dropBegin({"Fotos", "a+b;c.txt"}); }, R"(POST /v1/user/drop {"names":["Fotos","a+b;c.txt"]})", 20},
        {[](auto& c) { c.dropFinish("T1"); }, "POST /v1/user/drop/T1/finish {}", 15},
        {[](auto& c) { c.openURL("https://e.org/?a=b&c"); }, R"(POST /v1/user/open-url {"url":"https://e.org/?a=b&c"})", 15},
        {[](auto& c) { c.clipboard(0); }, "GET /v1/user/clipboard?since=0 (none)", 10},
        {[](auto& c) { c.clipboard(4294967295u); }, "GET /v1/user/clipboard?since=4294967295 (none)", 10},
        {[](auto& c) { c.setClipboard(std::string("h\xC3\xA9"), std::nullopt); },
         "POST /v1/user/clipboard {\"text\":\"h\xC3\xA9\",\"type\":\"text\"}", 30},
        {[](auto& c) { c.setClipboard(std::string("x"), Bytes{0x89, 'P', 'N', 'G'}); },
         R"(POST /v1/user/clipboard {"png":"iVBORw==","type":"png"})", 30},
        {[](auto& c) { c.setClipboard(std::nullopt, std::nullopt); }, "POST /v1/user/clipboard {}", 30},
        {[](auto& c) { c.outbox(); }, "GET /v1/user/outbox (none)", 10},
        {[](auto& c) { c.outboxDone("a/b"); }, "POST /v1/user/outbox/a%2Fb/done {}", 15},
    };
    for (const auto& row : rows) {
        FakeAgent agent;
        try {
            row.call(agent.client);
        } catch (const AgentClient::DecodeError&) {}  // "{}" is not every record: only the request matters here
        ASSERT_EQ(agent.requests.size(), 1u) << row.request;
        const HttpRequest& sent = agent.requests[0];
        const std::string body = sent.body ? std::string(sent.body->begin(), sent.body->end()) : "(none)";
        const std::string url = platform::Http::url(sent);
        EXPECT_EQ(url.substr(0, base.size()), base);
        EXPECT_EQ(sent.method + " " + url.substr(base.size()) + " " + body, row.request);
        EXPECT_EQ(sent.idleTimeoutSeconds, row.silence) << row.request;
        EXPECT_EQ(sent.timeoutSeconds, 120) << row.request;
        const bool clipboard = row.request.starts_with("GET /v1/user/clipboard");
        EXPECT_EQ(sent.maxBodyBytes, clipboard ? std::size_t(128) << 20 : std::size_t(16) << 20) << row.request;
        using Headers = std::vector<std::pair<std::string, std::string>>;
        EXPECT_EQ(sent.headers, (sent.body ? Headers{{"Content-Type", "application/json"}} : Headers{})) << row.request;
    }
    ::unsetenv(BoxEndpoint::overrideVariable);
    EXPECT_EQ(AgentClient().base(), base);
    ::setenv(BoxEndpoint::overrideVariable, "127.9.8.7", 1);
    EXPECT_EQ(AgentClient().base(), "http://127.9.8.7:47800");
    ::unsetenv(BoxEndpoint::overrideVariable);
}

TEST(AgentClientTest, StatusRuleAndLooseReplies) {
    using Call = std::function<std::string(const AgentClient&)>;
    const Call info = [](auto& c) { return c.info().boxName; };
    const Call status = [](auto& c) { return std::to_string(c.status().uptimeSeconds); };
    const Call clip = [](auto& c) { const auto got = c.clipboard(1); return got ? got->text.value_or("?") : "nothing newer"; };
    const Call power = [](auto& c) { c.power("shutdown"); return std::string("ok"); };
    const Call pair = [](auto& c) { return std::string(c.pair("1", "n", true) ? "paired" : "not paired"); };
    const Call seq = [](auto& c) { return std::to_string(c.setClipboard(std::string("t"), std::nullopt)); };
    const struct { const Call& call; long status; std::string body, outcome; } rows[] = {
        {info, 500, R"({"error":"disk full"})", "Box answered 500: disk full"},
        {info, 404, "not here", "Box answered 404: not here"},
        {status, 500, "", "Box answered 500: "},
        {status, 500, R"({"error":17})", R"(Box answered 500: {"error":17})"},
        {status, 199, "", "Box answered 199: "},
        {info, 204, "", "decode"},
        {info, 299, R"({"product":"P","agent_version":"1","box_name":"B"})", "B"},
        {info, 300, R"({"product":"P","agent_version":"1","box_name":"B"})", R"(Box answered 300: {"product":"P","agent_version":"1","box_name":"B"})"},
        {clip, 400, R"({"error":"bad"})", R"(Box answered 400: {"error":"bad"})"},
        {clip, 204, "", "nothing newer"},
        {clip, 200, R"({"seq":2,"text":"from Windows"})", "from Windows"},
        {power, 204, "", "ok"},
        {power, 201, "garbage", "ok"},
        {pair, 200, R"({"paired":true})", "paired"},
        {pair, 200, "", "decode"},
        {seq, 200, R"({"seq":7})", "7"},
    };
    for (const auto& row : rows) {
        FakeAgent agent{row.status, row.body};
        std::string outcome;
        try {
            outcome = row.call(agent.client);
        } catch (const AgentClient::AgentError& error) {
            outcome = error.what();
        } catch (const AgentClient::DecodeError&) {
            outcome = "decode";
        }
        EXPECT_EQ(outcome, row.outcome) << row.status << " " << row.body;
    }
    EXPECT_TRUE(AgentClient::AgentError(405, "x").endpointMissing());
    EXPECT_FALSE(AgentClient::AgentError(400, "x").endpointMissing());
}

// A clipboard reply larger than the client takes, arriving in pieces with no length announced: an item is
// known by its number alone; a body without one, a refusal, or one that stays large without its long texts
// stays too large.
TEST(AgentClientTest, AClipboardItemTooLargeToTakeIsKnownByItsNumberAlone) {
    const auto pieces = AgentClient::kMaxClipboardReplyBytes / (1u << 20) + 1;
    const std::string tooLarge = "the reply is larger than 134217728 bytes";
    const struct { long status; std::string head; char fill; std::string tail, outcome; } rows[] = {
        {200, R"({"type":"text","text":")", 'x', R"(","seq":9})", "passed over 9"},
        {200, R"({"type":"text","text":")", 'x', R"("})", tooLarge},
        {200, R"({"type":"text","text":")", 'x', R"(","seq":"9"})", tooLarge},
        {500, R"({"type":"text","text":")", 'x', R"(","seq":9})", tooLarge},
        {200, R"({"seq":9,"text":"")", ' ', "}", tooLarge},
    };
    for (const auto& row : rows) {
        const std::string piece(1u << 20, row.fill);
        const AgentClient client{"10.77.0.1", 47800, [&](const HttpRequest&, std::stop_token, const platform::HttpReceiver* receiver) {
            receiver->onHead(row.status, std::nullopt);
            receiver->onBody(bytesOf(row.head));
            for (std::size_t sent = 0; sent < pieces; ++sent) receiver->onBody(ByteView(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()));
            receiver->onBody(bytesOf(row.tail));
            return HttpResponse{row.status, {}};
        }};
        std::string outcome;
        try {
            const auto clip = client.clipboard(0);
            outcome = clip && clip->tooLarge && !clip->text ? "passed over " + std::to_string(clip->seq) : "taken";
        } catch (const platform::HttpError& error) {
            outcome = error.kind == platform::HttpError::Kind::tooLarge ? error.what() : "other";
        } catch (const Error& error) {
            outcome = error.what();
        }
        EXPECT_EQ(outcome, row.outcome) << row.status << " " << row.head << row.fill << row.tail;
    }
}

TEST(AgentClientTest, UnsafeRequestsNeverLeave) {
    FakeAgent agent;
    const auto& client = agent.client;
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { client.outboxDone(".."); }, R"(Refused an unsafe name: "..")"},
        {[&] { client.dropFinish(std::string("T1\0", 3)); }, R"(Refused an unsafe name: "T1\x00")"},
        {[&] { client.dropBegin({"fine", "new\nline"}); }, R"(Refused an unsafe name: "new\x0Aline")"},
        {[&] { client.power(""); }, R"(Refused an unsafe name: "")"},
        {[&] { client.openURL("\xC3("); }, "The request could not be written: "},  // not UTF-8: not JSON text
        {[&] { client.userURL({"outbox", "tab\t", "done"}); }, R"(Refused an unsafe name: "tab\x09")"},
        {[&] { client.userURL({"drop", "T1", "file"}, {{"path", "line\r\nInjected: 1"}}); },
         R"(Refused an unsafe query: "path" = "line\x0D\x0AInjected: 1")"},
    };
    for (const auto& [call, text] : rows) {
        const std::string what = test::failureOf<AgentClient::RequestError>(call);
        EXPECT_EQ(text.ends_with(": ") ? what.substr(0, text.size()) : what, text);  // the JSON writer's reason follows
    }
    EXPECT_TRUE(agent.requests.empty());
    EXPECT_EQ(platform::Http::url(client.userURL({"drop", "T1", "dir"}, {{"path", "a+b;c d/#1&2=3%"}})),
              "http://10.77.0.1:47800/v1/user/drop/T1/dir?path=a%2Bb%3Bc%20d%2F%231%262%3D3%25");
    EXPECT_EQ(platform::Http::url(client.userURL({"outbox", "../a/b?c#d%e", "done"})),
              "http://10.77.0.1:47800/v1/user/outbox/..%2Fa%2Fb%3Fc%23d%25e/done");
}

} // namespace
} // namespace corvane
