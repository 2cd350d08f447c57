#include "engine/session/RTSP.hpp"
#include <string>
#include <gtest/gtest.h>

namespace corvane::stream {
namespace {

std::optional<RTSP::Response> parseText(const std::string& text, bool complete) {
    return RTSP::parse(bytesOf(text), complete);
}

// What parsing `text` gives: "wait" for more, "body " and the body, or "bad " and the refusal's detail.
std::string outcome(const std::string& text, bool complete) {
    try {
        const auto reply = parseText(text, complete);
        return reply ? "body " + std::string(reply->body.begin(), reply->body.end()) : "wait";
    } catch (const RTSP::Error& error) {
        EXPECT_EQ(error.kind, RTSP::Error::Kind::badResponse);
        return "bad " + error.detail;
    }
}

// Content-Length decides the body; without a usable one the body ends with the stream. A reply larger than
// the limit by one byte fails, whether or not it is complete; exactly the limit is read.
TEST(RTSPParse, WaitsForTheWholeReplyReadsTheBodyAndRefusesMalformedOrOversizedReplies) {
    const std::string head = "RTSP/1.0 200 OK\r\ncontent-LENGTH: 5\r\n\r\n";
    const std::string open = "RTSP/1.0 200 OK\r\nContent-Length: many\r\n\r\nv=0\r\nrest";
    const std::string sized = "RTSP/1.0 200 OK\r\nContent-Length: ";
    const std::size_t bodySize = RTSP::maxReplySize - sized.size() - 6 - 4;  // six digits, then CR LF CR LF
    const std::string full = sized + std::to_string(bodySize) + "\r\n\r\n" + std::string(bodySize, 'c');
    ASSERT_EQ(full.size(), RTSP::maxReplySize);
    const struct { std::string text; bool complete; std::string outcome; } rows[] = {
        {head + "abc", false, "wait"}, {head + "abc", true, "bad short body"}, {head + "abcdefg", false, "body abcde"},
        {open, false, "wait"}, {open, true, "body v=0\r\nrest"},
        {"RTSP/1.0 200 OK\r\nCSeq: 1\r\n", true, "bad no header end"},
        {"RTSP/1.0 200 OK\r\nContent-Length: -3\r\n\r\nabc", false, "bad negative Content-length"},
        {std::string(RTSP::maxReplySize + 1, 'a'), false, "bad reply larger than 262144 bytes"},
        {std::string(RTSP::maxReplySize, 'a'), false, "wait"}, {full, false, "body " + std::string(bodySize, 'c')},
    };
    for (const auto& row : rows) EXPECT_EQ(outcome(row.text, row.complete), row.outcome) << row.text.substr(0, 40);
    for (const char* bad : {"rtsp/1.0 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "RTSP/1.0\r\n\r\n",
                            "RTSP/1.0 2OO OK\r\n\r\n", "RTSP/1.0 99999999999999999999 Big\r\n\r\n", "\r\n\r\n"})
        EXPECT_TRUE(outcome(bad, true).starts_with("bad ")) << bad;
}

// Pieces as the connection delivers them: split anywhere, even inside the header end, the reply is the
// same as read whole, and it is given as soon as its last byte arrives.
TEST(RTSPParse, APieceAtATimeGivesTheSameReplyAsTheWhole) {
    const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nSession: ABC\r\nContent-Length: 4\r\n\r\nv=0\n";
    const auto whole = parseText(reply, false);
    ASSERT_TRUE(whole);
    for (std::size_t cut = 1; cut < reply.size(); ++cut) {
        RTSP::ReplyParser parser;
        EXPECT_FALSE(parser.feed(bytesOf(reply.substr(0, cut)), false)) << cut;
        EXPECT_EQ(parser.feed(bytesOf(reply.substr(cut)), false), whole) << cut;
    }
}

TEST(RTSPParse, StatusLineAndHeaders) {
    EXPECT_EQ(parseText("RTSP/1.0 200\r\n\r\n", true)->reason, "");
    const auto response = parseText("RTSP/1.0 454 Session Not Found\r\n"
                                    " Session :  first \r\nSESSION:\tsecond\t\r\nno colon here\r\nX-Empty:\r\n\r\n",
                                    true);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 454);
    EXPECT_EQ(response->reason, "Session Not Found");
    // A later line replaces an earlier one; names are found in any case.
    EXPECT_EQ(response->header("session"), "second");
    EXPECT_EQ(response->header("X-Empty"), "");
    EXPECT_FALSE(response->header("no colon here"));
    EXPECT_EQ(response->headers.size(), 2u);
    // Invalid UTF-8 is replaced, one replacement per broken sequence.
    const auto broken = parseText("RTSP/1.0 200 O\xFFK\r\nX-Name: a\xC3\r\n\r\n", true);
    EXPECT_EQ(broken->reason, "O\xEF\xBF\xBDK");
    EXPECT_EQ(broken->header("x-name"), "a\xEF\xBF\xBD");
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> utf8[] = {
        {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z"},
        {"\xC0\xAF", r + r},                    // overlong
        {"\xED\xA0\x80", r + r + r},            // surrogate
        {"\xE2\x82x", r + "x"},                 // cut short
        {"\xF4\x90\x80\x80", r + r + r + r},    // past U+10FFFF
    };
    for (const auto& [in, out] : utf8) EXPECT_EQ(RTSP::decodeUTF8(bytesOf(in)), out);
}

TEST(RTSPSdpAttributes, ReadsKeyValuePairsLaterOnesWinning) {
    const auto attributes = RTSP::sdpAttributes(
        bytesOf("v=0\r\na=x:2\r\na=x:3\r\na=sendonly\r\n"
                "  a=Mixed.Case: spaced value \n a= y:z\nb=x:4\r\na=fmtp:97 surround-params=21101"));
    const std::map<std::string, std::string> expected = {
        {"x", "3"}, {"Mixed.Case", "spaced value"}, {" y", "z"}, {"fmtp", "97 surround-params=21101"}};
    EXPECT_EQ(attributes, expected);
}

TEST(RTSPError, DescriptionsAreTheUserVisibleTexts) {
    EXPECT_STREQ(RTSP::Error::badResponse("no header end").what(), "unreadable RTSP reply: no header end");
    EXPECT_STREQ(RTSP::Error::status("SETUP streamid=audio/0/0", 454, "Session Not Found").what(),
                 "SETUP streamid=audio/0/0 failed: 454 Session Not Found");
    EXPECT_STREQ(RTSP::Error::timeout("DESCRIBE").what(), "DESCRIBE timed out");
    EXPECT_STREQ(RTSP::Error::connection("Connection refused").what(), "RTSP connection failed: Connection refused");
}

} // namespace
} // namespace corvane::stream
