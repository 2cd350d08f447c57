// Against python's own URL parsing: what the client writes into paths and queries is what a standard
// server reads back.

#include "app/services/agent/AgentClient.hpp"

#include "tests/app/agent/PythonServer.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

TEST(AgentQueryPeerTest, QueryValuesAndIdsArriveUnchanged) {
    const std::string address = test::uniqueLoopbackAddress();
    const test::PythonServer server({"-c", test::kEchoServer, address, "47800"}, address, 47800);
    const AgentClient client(address, 47800);
    const std::vector<std::string> values = {
        "a+b",       "semi;colon", "x&y=z",    "#hash",  "100%",         "two  spaces ", "été/Фото/写真.jpg",
        "%2B%3B%20", "+;&=#% mix", "?q=1&r=2", "trailing=", "C:\\Users\\a b", "emoji 😀"};
    for (const auto& value : values) {
        auto request = client.userURL({"drop", "T 1/../x", "dir"}, {{"path", value}});
        request.method = "POST";
        const auto echoed = nlohmann::json::parse(AgentClient::textOf(client.send(request, 15)));
        EXPECT_EQ(echoed["query"]["path"], nlohmann::json::array({value})) << echoed["raw"];
        EXPECT_EQ(echoed["query"].size(), 1u) << echoed["raw"];
        // The id is one segment, whatever it holds.
        EXPECT_EQ(echoed["segments"], nlohmann::json::array({"v1", "user", "drop", "T 1/../x", "dir"}));
        EXPECT_EQ(echoed["method"], "POST");
    }

    // A query name with the same characters, and the clipboard's number.
    const auto named = nlohmann::json::parse(
        AgentClient::textOf(client.send(client.userURL({"x"}, {{"n=a&b+c", "v"}}), 5)));
    EXPECT_EQ(named["query"]["n=a&b+c"], nlohmann::json::array({"v"}));
}

} // namespace
} // namespace corvane
