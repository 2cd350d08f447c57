// The simulated box's host replies, byte for byte: the engine falls back to defaults for elements it does
// not find, so a misnamed element would pass every end-to-end test.
#include "boxsim/host/StreamingHost.hpp"
#include <string>
#include <gtest/gtest.h>
#include <httplib.h>
#include "tests/support/TestSupport.hpp"

namespace corvane::boxsim {
namespace {

const std::string kHead = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

class StreamingHostReplies : public ::testing::Test {
protected:
    void SetUp() override {
        StreamingHost::Options options;
        options.address = address;
        options.hostname = "test-box";
        options.uniqueId = "B0B0CAFE";
        options.apps.push_back({42, "Game & Watch", true});
        host = std::make_unique<StreamingHost>(options);
        host->start();
        http.set_read_timeout(10, 0);
    }
    std::string body(const std::string& target) {
        const auto reply = http.Get(target);
        return reply ? std::to_string(reply->status) + " " + reply->body : "no reply";
    }
    std::string address = test::uniqueLoopbackAddress();
    std::unique_ptr<StreamingHost> host;
    httplib::Client http{address, 48089};
};

TEST_F(StreamingHostReplies, ServerInformationAndRefusalsAreThePinnedDocuments) {
    EXPECT_EQ(body("/serverinfo?uniqueid=0"),
              "200 " + kHead + "<root status_code=\"200\"><hostname>test-box</hostname><appversion>7.1.431.-1</appversion>"
              "<uniqueid>B0B0CAFE</uniqueid><HttpsPort>47984</HttpsPort><ExternalPort>47989</ExternalPort>"
              "<PairStatus>0</PairStatus><currentgame>0</currentgame><state>SERVER_FREE</state>"
              "<ServerCodecModeSupport>769</ServerCodecModeSupport><MaxLumaPixelsHEVC>8294400</MaxLumaPixelsHEVC></root>\n");
    // Paired requests over plain HTTP are refused; so is every malformed pairing step, and the box goes on.
    for (const char* path : {"/applist", "/launch?appid=42", "/resume", "/cancel"})
        EXPECT_EQ(body(path), "200 " + kHead + "<root status_code=\"401\" status_message=\"The client is not authorized. Certificate verification failed.\"/>\n") << path;
    const std::pair<std::string, const char*> pairing[] = {
        {"phrase=getservercert&salt=" + std::string(32, 'A'), "Missing uniqueid"},
        {"uniqueid=C&phrase=getservercert&salt=ABC", "Missing or invalid salt"},
        {"uniqueid=C&phrase=getservercert&salt=" + std::string(32, 'A') + "&clientcert=6E6F", "Missing or invalid clientcert"},
        {"uniqueid=C&phrase=dance", "Unknown pairing step"},
        {"uniqueid=C&clientchallenge=00", "Invalid clientchallenge"},
        {"uniqueid=C&serverchallengeresp=" + std::string(33, '0'), "Invalid serverchallengeresp"},
        {"uniqueid=C&clientpairingsecret=" + std::string(32, '0'), "Invalid clientpairingsecret"},
    };
    for (const auto& [query, message] : pairing)
        EXPECT_EQ(body("/pair?" + query), "200 " + kHead + "<root status_code=\"400\" status_message=\"" + message + "\"/>\n") << query;
    EXPECT_EQ(body("/" + std::string(8000, 'A')), "404 " + kHead + "<root status_code=\"404\" status_message=\"Not Found\"/>\n");
    EXPECT_NE(body("/pair?uniqueid=" + std::string(20000, 'A')).substr(0, 4), "200 ");
    EXPECT_EQ(body("/serverinfo").substr(0, 4), "200 ");
}

} // namespace
} // namespace corvane::boxsim
