#include "platform/xml/XmlParser.hpp"
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace corvane::platform {
namespace {

// The events of a parse as one line: <name a=v>, text pieces joined, </name>, [cdata]; "!" when refused.
std::string events(const std::string& document, bool withCdata = false, XmlParser::Limits limits = {}) {
    std::string log;
    XmlParser::Events e;
    e.startElement = [&](std::string_view name, const XmlParser::Attributes& attributes) {
        log += "<" + std::string(name);
        for (const auto& [k, v] : attributes) log += " " + k + "=" + v;
        log += ">";
    };
    e.characters = [&](std::string_view text) { log += text; };
    e.endElement = [&](std::string_view name) { log += "</" + std::string(name) + ">"; };
    if (withCdata) e.cdata = [&](std::string_view text) { log += "[" + std::string(text) + "]"; };
    return XmlParser::parse(bytesOf(document), e, limits) ? log : "!";
}

std::string nested(int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<a>";
    for (int i = 0; i < depth; ++i) s += "</a>";
    return s;
}

TEST(XmlParser, DecodesOneWellFormedDocumentWithoutDeclarationsAsItsEvents) {
    const std::pair<const char*, const char*> rows[] = {
        {"<?xml version=\"1.0\"?><r a=\"1\" b='&amp;'><c>x</c>y</r>", "<r a=1 b=&><c>x</c>y</r>"},
        {"<p:r xmlns:p=\"urn:x\"><p:c/></p:r>", "<p:r xmlns:p=urn:x><p:c></p:c></p:r>"},  // no namespace processing
        {"<r>a&lt;b&#65;\nc</r>", "<r>a<bA\nc</r>"},
        {"<r>a<![CDATA[<b>]]></r>", "<r>a<b></r>"},  // CDATA as text when nobody asks for it apart
    };
    for (const auto& [document, expected] : rows) EXPECT_EQ(events(document), expected) << document;
    EXPECT_EQ(events("<r>a<![CDATA[<b>]]></r>", true), "<r>a[<b>]</r>");
    // All else is refused.
    for (const char* bad : {"", "   ", "<r>", "<r></s>", "<r/><r/>", "<r/>junk", "<html><body>oops</html>",
                            "<r a=\"1\" a=\"2\"/>", "<r>&undefined;</r>", "\xff\xfe<r/>", "text only",
                            "<!DOCTYPE r><r/>", "<!DOCTYPE r [<!ENTITY e \"x\">]><r>&e;</r>",
                            "<!DOCTYPE r [<!ENTITY a \"aa\"><!ENTITY b \"&a;&a;\">]><r>&b;</r>",
                            "<!DOCTYPE r SYSTEM \"file:///etc/passwd\"><r/>",
                            "<!DOCTYPE r [<!ENTITY % p SYSTEM \"http://127.0.0.1:9/x\"> %p;]><r/>"})
        EXPECT_EQ(events(bad), "!") << bad;
}

TEST(XmlParser, DepthIsBoundedAndAHandlersExceptionComesBack) {
    EXPECT_NE(events(nested(8), false, {.maxDepth = 8}), "!");
    EXPECT_EQ(events(nested(9), false, {.maxDepth = 8}), "!");
    EXPECT_NE(events(nested(64)), "!");
    EXPECT_EQ(events(nested(65)), "!");
    EXPECT_EQ(events(nested(200000)), "!");
    XmlParser::Events throwing;
    int ends = 0;
    throwing.startElement = [](std::string_view name, const XmlParser::Attributes&) {
        if (name == "bad") throw std::runtime_error("handler failed");
    };
    throwing.endElement = [&](std::string_view) { ++ends; };
    EXPECT_THROW(XmlParser::parse(bytesOf("<r><ok/><bad/><later/></r>"), throwing), std::runtime_error);
    EXPECT_EQ(ends, 1);
}

} // namespace
} // namespace corvane::platform
