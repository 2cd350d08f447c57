#include "platform/xml/XmlParser.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::platform {
namespace {

// Parses and writes the events as one line of text: <name a=v>, "text", </name>, [cdata].
struct Recorder {
    std::string log;
    int pieces = 0;
    XmlParser::Events events(bool withCdata = false) {
        XmlParser::Events e;
        e.startElement = [this](std::string_view name, const XmlParser::Attributes& attributes) {
            log += "<" + std::string(name);
            for (const auto& [k, v] : attributes) log += " " + k + "=" + v;
            log += ">";
        };
        e.characters = [this](std::string_view text) {
            log += "\"" + std::string(text) + "\"";
            ++pieces;
        };
        e.endElement = [this](std::string_view name) { log += "</" + std::string(name) + ">"; };
        if (withCdata) e.cdata = [this](std::string_view text) { log += "[" + std::string(text) + "]"; };
        return e;
    }
};

bool parse(const std::string& document, XmlParser::Limits limits = {}) {
    Recorder recorder;
    return XmlParser::parse(bytesOf(document), recorder.events(), limits);
}

TEST(XmlParser, ReportsElementsAttributesAndTextInOrder) {
    Recorder recorder;
    ASSERT_TRUE(XmlParser::parse(bytesOf("<?xml version=\"1.0\"?><r a=\"1\" b='&amp;'><c>x</c>y</r>"),
                                 recorder.events()));
    EXPECT_EQ(recorder.log, "<r a=1 b=&><c>\"x\"</c>\"y\"</r>");
}

TEST(XmlParser, NamesKeepTheirPrefixesWithoutNamespaceProcessing) {
    Recorder recorder;
    ASSERT_TRUE(XmlParser::parse(bytesOf("<p:r xmlns:p=\"urn:x\"><p:c/></p:r>"), recorder.events()));
    EXPECT_EQ(recorder.log, "<p:r xmlns:p=urn:x><p:c></p:c></p:r>");
}

TEST(XmlParser, TextMayArriveInPieces) {
    Recorder recorder;
    ASSERT_TRUE(XmlParser::parse(bytesOf("<r>a&lt;b&#65;\nc</r>"), recorder.events()));
    EXPECT_GT(recorder.pieces, 1);
    std::string joined;
    for (char c : recorder.log)
        if (c != '"') joined += c;
    EXPECT_EQ(joined, "<r>a<bA\nc</r>");
}

TEST(XmlParser, CdataGoesToItsOwnHandlerWhenThereIsOne) {
    Recorder withHandler;
    ASSERT_TRUE(XmlParser::parse(bytesOf("<r>a<![CDATA[<b>]]></r>"), withHandler.events(true)));
    EXPECT_EQ(withHandler.log, "<r>\"a\"[<b>]</r>");
    Recorder without;
    ASSERT_TRUE(XmlParser::parse(bytesOf("<r>a<![CDATA[<b>]]></r>"), without.events()));
    EXPECT_EQ(without.log, "<r>\"a\"\"<b>\"</r>");
}

TEST(XmlParser, RefusesWhatIsNotOneWellFormedDocument) {
    for (const char* bad : {"", "   ", "<r>", "<r></s>", "<r/><r/>", "<r/>junk", "<html><body>oops</html>",
                            "<r a=\"1\" a=\"2\"/>", "<r>&undefined;</r>", "\xff\xfe<r/>", "text only"}) {
        EXPECT_FALSE(parse(bad)) << bad;
    }
}

TEST(XmlParser, RefusesEveryDocumentTypeDeclaration) {
    // Billion laughs: ten levels of tenfold expansion.
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    std::string previous = "lol";
    for (int i = 1; i <= 9; ++i) {
        const std::string name = "lol" + std::to_string(i);
        laughs += "<!ENTITY " + name + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&" + previous + ";";
        laughs += "\">";
        previous = name;
    }
    laughs += "]><lolz>&" + previous + ";</lolz>";

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(parse(laughs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    EXPECT_FALSE(parse("<!DOCTYPE r><r/>"));
    EXPECT_FALSE(parse("<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>"));
    EXPECT_FALSE(parse("<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r/>"));
    EXPECT_FALSE(parse("<!DOCTYPE r [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><r>&e;</r>"));
    EXPECT_FALSE(parse("<!DOCTYPE r [<!ENTITY % p SYSTEM \"http://127.0.0.1:9/x\"> %p;]><r/>"));
}

TEST(XmlParser, DepthIsBounded) {
    auto nested = [](int depth) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += "<a>";
        for (int i = 0; i < depth; ++i) s += "</a>";
        return s;
    };
    EXPECT_TRUE(parse(nested(8), {.maxDepth = 8}));
    EXPECT_FALSE(parse(nested(9), {.maxDepth = 8}));
    EXPECT_TRUE(parse(nested(64)));
    EXPECT_FALSE(parse(nested(65)));
    // Far deeper than any stack would take in a recursive consumer.
    EXPECT_FALSE(parse(nested(200000)));
}

TEST(XmlParser, AHandlersExceptionStopsTheParseAndComesBack) {
    XmlParser::Events events;
    int ends = 0;
    events.startElement = [](std::string_view name, const XmlParser::Attributes&) {
        if (name == "bad") throw std::runtime_error("handler failed");
    };
    events.endElement = [&](std::string_view) { ++ends; };
    EXPECT_THROW(XmlParser::parse(bytesOf("<r><ok/><bad/><later/></r>"), events), std::runtime_error);
    EXPECT_EQ(ends, 1);
}

} // namespace
} // namespace corvane::platform
