#include "engine/host/HostApp.hpp"
#include "engine/host/HostError.hpp"
#include "engine/host/HostReply.hpp"
#include "engine/host/HostXML.hpp"
#include "engine/host/ServerInfo.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <string>

namespace corvane::stream {
namespace {

HostXML parsed(const std::string& document) {
    auto root = HostXML::parse(bytesOf(document));
    if (!root) throw std::runtime_error("not XML: " + document);
    return *root;
}

std::optional<HostError> statusErrorOf(const std::string& document) {
    return test::errorOf<HostError>([&] { HostReply::check(parsed(document)); });
}

// Attributes, trimmed text, repeated and nested elements as the replies use them: ServerInfo and HostApp; what
// is no document, or too deep, gives nothing.
TEST(HostXML, TextAroundChildrenIsTheElementsOwnCharacterDataIsLeftOutAndNoDocumentGivesNothing) {
    const HostXML root = parsed("<root><mixed> x <child>y</child> z </mixed><dup>first</dup><dup>second</dup>"
                                "<outer><inner>deep</inner></outer><cdata>a<![CDATA[hidden]]>b</cdata></root>");
    EXPECT_EQ(root["mixed"], "x  z");
    EXPECT_EQ(root.all("mixed").at(0)["child"], "y");
    EXPECT_EQ(root["dup"], "first");
    EXPECT_EQ(root["inner"], std::nullopt);  // grandchildren are not searched
    EXPECT_EQ(root["cdata"], "ab");
    EXPECT_EQ(parsed("<r>\xC2\xA0\xE2\x80\xA8 1 \xC2\x85</r>").text, "1");  // Unicode white space trimmed
    for (const char* bad : {"", "<html><body><p>Service Unavailable</body></html>", "<root>", "\x00\x01",
                            "<!DOCTYPE root><root status_code=\"200\"/>", "<root/>junk"})
        EXPECT_FALSE(HostXML::parse(bytesOf(bad))) << bad;
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    EXPECT_FALSE(HostXML::parse(bytesOf(deep)));
}

TEST(HostReply, OnlyStatus200Passes) {
    EXPECT_NO_THROW(HostReply::check(parsed("<root status_code=\"200\"/>")));
    EXPECT_NO_THROW(HostReply::check(parsed("<other status_code=\"+200\"><x/></other>")));
    EXPECT_STREQ(statusErrorOf("<root status_code=\"404\" status_message=\"Not Found\"/>").value().what(),
                 "box replied 404: Not Found");
    EXPECT_STREQ(statusErrorOf("<root/>").value().what(), "box replied 0");
    for (const char* code : {" 200", "200 ", "200.0", "2e2", "", "99999999999999999999"})
        EXPECT_EQ(statusErrorOf(std::string("<root status_code=\"") + code + "\" status_message=\"m\"/>"),
                  HostError::status(0, "m"))
            << code;
    EXPECT_EQ(statusErrorOf("<root status_code=\"-1\"/>").value().code, -1);
}

TEST(ServerInfo, ReadsEveryFieldAndTheMajorVersionAndDefaultsWhatIsMissingOrMalformed) {
    const ServerInfo info(parsed(
        "<root status_code=\"200\"><hostname>BOX</hostname><uniqueid>ABC123</uniqueid>"
        "<appversion>7.1.431.-1</appversion><HttpsPort>47990</HttpsPort><ExternalPort>47991</ExternalPort>"
        "<PairStatus>\n 1 \n</PairStatus><currentgame>881448767</currentgame><state>STREAM_SERVER_BUSY</state>"
        "<ServerCodecModeSupport>262913</ServerCodecModeSupport><MaxLumaPixelsHEVC>1869449984</MaxLumaPixelsHEVC>"
        "</root>"));
    EXPECT_EQ(std::tie(info.hostname, info.uniqueID, info.appVersion, info.httpsPort, info.httpPort, info.paired),
              std::tuple("BOX", "ABC123", "7.1.431.-1", 47990, 47991, true));
    EXPECT_EQ(std::tie(info.currentGame, info.state, info.codecModeSupport, info.maxLumaPixelsHEVC),
              std::tuple(881448767, "STREAM_SERVER_BUSY", 262913, 1869449984));
    EXPECT_EQ(ServerInfo(parsed("<root status_code=\"200\"><HttpsPort></HttpsPort><ExternalPort>abc</ExternalPort>"
                                "<PairStatus>01</PairStatus><currentgame>1.5</currentgame></root>")),
              ServerInfo());
    // 65536 + 443 would become 443 if narrowed to 16 bits; 4294967297 would become 1 in 32 bits.
    for (const char* port : {"0", "-1", "65536", "65979", "4294967297", "99999999999999999999"}) {
        const ServerInfo bad(parsed(std::string("<root status_code=\"200\"><HttpsPort>") + port +
                                    "</HttpsPort><ExternalPort>" + port + "</ExternalPort></root>"));
        EXPECT_EQ(bad.httpsPort, 47984) << port;
        EXPECT_EQ(bad.httpPort, 47989) << port;
    }
    const ServerInfo edge(parsed("<root status_code=\"200\"><HttpsPort>65535</HttpsPort><ExternalPort>1"
                                 "</ExternalPort></root>"));
    EXPECT_EQ(edge.httpsPort, 65535);
    EXPECT_EQ(edge.httpPort, 1);
    EXPECT_THROW(ServerInfo(parsed("<root status_code=\"401\"><hostname>BOX</hostname></root>")), HostError);
    ServerInfo versioned;
    const std::pair<const char*, std::int64_t> versions[] = {
        {"7.1.431.-1", 7}, {".5.0", 5}, {"..12", 12}, {"", 0}, {"abc.1", 0}, {"...", 0}, {"-3.0", -3}, {"7a.1", 0}};
    for (const auto& [version, major] : versions) {
        versioned.appVersion = version;
        EXPECT_EQ(versioned.majorVersion(), major) << version;
    }
}

TEST(HostApp, KeepsNumberedAppsInDocumentOrder) {
    const auto apps = HostApp::list(parsed(
        "<root status_code=\"200\">"
        "<App><AppTitle>Desktop</AppTitle><ID>881448767</ID><IsHdrSupported>1</IsHdrSupported></App>"
        "<App><AppTitle>No id</AppTitle></App>"
        "<App><AppTitle>Empty id</AppTitle><ID></ID></App>"
        "<App><AppTitle>Word id</AppTitle><ID>one</ID></App>"
        "<Other><ID>5</ID></Other>"
        "<App><ID>-2</ID><IsHdrSupported>true</IsHdrSupported></App>"
        "<App><AppTitle>Notepad</AppTitle><ID>12</ID><IsHdrSupported>0</IsHdrSupported><x><ID>9</ID></x></App>"
        "</root>"));
    const std::vector<HostApp> expected{{881448767, "Desktop", true}, {-2, "", false}, {12, "Notepad", false}};
    EXPECT_EQ(apps, expected);
    EXPECT_THROW(HostApp::list(parsed("<root status_code=\"503\"><App><ID>1</ID></App></root>")), HostError);
}

} // namespace
} // namespace corvane::stream
