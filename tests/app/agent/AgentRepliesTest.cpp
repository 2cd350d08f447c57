#include "app/services/agent/AgentClient.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace corvane {
namespace {

using Kind = AgentClient::DecodeError::Kind;

ByteView view(const std::string& text) { return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

std::string lastFailure;  // what the user reads of the last failure

template <class Decode>
std::optional<Kind> failure(Decode decode, const std::string& body) {
    const auto error = test::errorOf<AgentClient::DecodeError>([&] { decode(view(body)); });
    lastFailure = error ? error->what() : "decoded";
    return error ? std::optional(error->kind) : std::nullopt;
}

const std::string kMinimalInfo = R"({"product":"Corvane Host","agent_version":"0.3.0","box_name":"box"})";

TEST(AgentRepliesTest, InfoWithOnlyTheRequiredKeysAndWithEverything) {
    const auto minimal = AgentClient::Info::decode(view(kMinimalInfo));
    EXPECT_EQ(minimal.boxName, "box");
    AgentClient::Info expected;  // every other field absent
    expected.product = "Corvane Host", expected.agentVersion = "0.3.0", expected.boxName = "box";
    EXPECT_EQ(minimal, expected);
    const auto full = AgentClient::Info::decode(view(R"({
        "product":"P","agent_version":"1","box_name":"B","ignored":[1,2],
        "streaming_host":{"reachable":true,"auth_ok":false,"paired_clients":3,"version":"7"},
        "windows":"W","gamepad_driver":true,
        "wake":[{"name":"eth","mac":"aa:bb","ipv4":["10.0.0.1"]},{"name":"wifi","mac":"cc","wireless":true,"up":false}],
        "settings":{"unplugged_sleep_minutes":-5},"can_update":false,
        "update":{"state":"running","progress":0.25},"sharing":null})"));
    EXPECT_EQ(full.streamingHost.value().pairedClients, 3);
    EXPECT_FALSE(full.streamingHost->authOk);
    ASSERT_EQ(full.wake.value().size(), 2u);
    EXPECT_EQ((*full.wake)[0].ipv4, std::vector<std::string>{"10.0.0.1"});
    EXPECT_EQ((*full.wake)[1].wireless, true);
    EXPECT_EQ(full.settings.value().unpluggedSleepMinutes, -5);
    EXPECT_EQ(full.update.value().progress, 0.25);
    EXPECT_FALSE(full.sharing);  // null leaves it absent
}

TEST(AgentRepliesTest, MustFailRows) {
    const auto info = [](ByteView b) { return AgentClient::Info::decode(b); };
    const auto status = [](ByteView b) { return AgentClient::BoxStatus::decode(b); };
    const auto clip = [](ByteView b) { return AgentClient::Clip::decode(b); };
    const auto update = [](ByteView b) { return AgentClient::UpdateStatus::decode(b); };
    const auto updates = [](ByteView b) { return AgentClient::BoxUpdates::decode(b); };
    const auto outbox = [](ByteView b) { return AgentClient::OutboxItem::decodeList(b); };
    const std::string status0 =
        R"({"cpu_percent":1,"memory_total":1,"disk_free":1,"disk_total":1,"uptime_seconds":1,"memory_used":)";
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":"1"})"), Kind::keyNotFound);
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":"1","box_name":null})"), Kind::valueNotFound);
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":1,"box_name":"B"})"), Kind::typeMismatch);
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":"1","box_name":"B","gamepad_driver":1})"), Kind::typeMismatch);
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":"1","box_name":"B","wake":[{"name":"x"}]})"), Kind::keyNotFound);
    EXPECT_EQ(lastFailure, R"(The box's reply could not be read at "wake[0].mac": missing)");
    EXPECT_EQ(failure(info, R"({"product":"P","agent_version":"1","box_name":"B","wake":{}})"), Kind::typeMismatch);
    EXPECT_EQ(failure(info, "[]"), Kind::typeMismatch);
    EXPECT_EQ(failure(info, ""), Kind::dataCorrupted);
    EXPECT_EQ(lastFailure.substr(0, 45), "The box's reply could not be read: not JSON (");
    EXPECT_EQ(failure(info, "{\"product\":\"\xFF\"}"), Kind::dataCorrupted);  // not UTF-8
    EXPECT_EQ(failure(info, std::string(100, '[') + std::string(100, ']')), Kind::dataCorrupted);
    EXPECT_EQ(failure(status, status0 + "-1}"), Kind::dataCorrupted);
    EXPECT_EQ(failure(status, status0 + "1.5}"), Kind::dataCorrupted);
    EXPECT_EQ(failure(status, status0 + "18446744073709551616}"), Kind::dataCorrupted);
    EXPECT_EQ(failure(status, status0 + "\"1\"}"), Kind::typeMismatch);
    EXPECT_EQ(failure(clip, R"({"seq":4294967296})"), Kind::dataCorrupted);
    EXPECT_EQ(failure(update, R"({"state":"running"})"), Kind::keyNotFound);
    EXPECT_EQ(failure(updates, R"({"installed":{},"can_update":true})"), Kind::keyNotFound);
    EXPECT_EQ(failure(updates, R"({"installed":{"agent":1},"available":{},"can_update":true})"), Kind::typeMismatch);
    EXPECT_EQ(failure(outbox, R"({})"), Kind::keyNotFound);
    EXPECT_EQ(failure(outbox, R"({"items":[{"id":"a","files":[{"path":"x","size":9223372036854775808}],"total_bytes":1}]})"),
              Kind::dataCorrupted);
    for (const char* below : {"-9223372036854775809", "-9223372036854775808.5", "-1e19"})
        EXPECT_EQ(failure(outbox, std::string(R"({"items":[{"id":"a","files":[],"total_bytes":)") + below + "}]}"),
                  Kind::dataCorrupted) << below;
}

TEST(AgentRepliesTest, NumbersByValueAndWidthRefusalMessagesAndLooseReplies) {
    const std::string rest = R"(,"memory_total":1e3,"disk_free":0,"disk_total":18446744073709551615,"uptime_seconds":7})";
    const auto status = AgentClient::BoxStatus::decode(view(R"({"cpu_percent":12,"memory_used":5)" + rest));
    EXPECT_EQ(status.cpuPercent, 12.0);
    EXPECT_EQ(status.memoryTotal, 1000u);  // a whole number written with an exponent
    EXPECT_EQ(status.diskTotal, 18446744073709551615u);
    EXPECT_EQ(status.gpuPercent, std::nullopt);
    EXPECT_EQ(status.temperatureC, std::nullopt);
    EXPECT_EQ(AgentClient::Clip::decode(view(R"({"seq":4294967295})")).seq, 4294967295u);
    const auto items = AgentClient::OutboxItem::decodeList(
        view(R"({"items":[{"id":"a","files":[],"total_bytes":-9223372036854775808}]})"));
    EXPECT_EQ(items.at(0).totalBytes, std::numeric_limits<std::int64_t>::min());
    // Error objects, other JSON and plain text are read through the client's status rule.
    const std::pair<std::string, std::string> messages[] = {{R"(["error"])", R"(["error"])"},
                                                            {"bad \xFF byte", "bad \xEF\xBF\xBD byte"}};
    for (const auto& [body, message] : messages) EXPECT_EQ(AgentClient::messageOf(view(body)), message);
    for (const char* body : {R"({"paired":"true"})", R"({"paired":{}})", R"({"paired":[]})", R"({"paired":1})", "[true]", "{}"})
        EXPECT_FALSE(AgentClient::pairedOf(view(body))) << body;
    for (const char* body : {"{}", R"({"seq":-1})", R"({"seq":4294967296})", R"({"seq":1.5})", R"({"seq":"7"})"})
        EXPECT_EQ(AgentClient::seqOf(view(body)), 0u) << body;
    EXPECT_EQ(AgentClient::seqOf(view(R"({"seq":4294967295})")), 4294967295u);
    EXPECT_THROW(AgentClient::seqOf(view("seq=7")), AgentClient::DecodeError);
}

} // namespace
} // namespace corvane
