#include "engine/pairing/identity/X509.hpp"

#include <gtest/gtest.h>

#include "engine/pairing/identity/DER.hpp"

namespace corvane::stream {
namespace {

TEST(X509PEM, LineEndsBlanksAndMarkerLinesDoNotMatterButOnlyStrictBase64Reads) {
    const Bytes decoded = bytesOf("ABCDEFGHI");
    const char* texts[] = {
        "-----BEGIN CERTIFICATE-----\nQUJD\nREVGR0hJ\n-----END CERTIFICATE-----\n",
        "-----BEGIN CERTIFICATE-----\r\nQUJD\r\nREVGR0hJ\r\n-----END CERTIFICATE-----\r\n",
        "  QUJD\t\n\t REVGR0hJ  \n",
        "-----BEGIN RSA THING-----\n\nQUJD\n\n\nREVGR0hJ\n-----whatever\n",
        "QUJD\x0BREVG\x0CR0hJ",
        "QUJD\xE2\x80\xA8REVGR0hJ\xC2\x85",           // U+2028 and U+0085 end lines
        "\xC2\xA0QUJD\xE2\x80\x83\nREVGR0hJ",         // U+00A0 and U+2003 are blanks
        "QUJDREVGR0hJ",
    };
    for (const char* text : texts) EXPECT_EQ(X509::derFromPEM(text), decoded) << text;
    for (const char* text : {"QU JD\nREVGR0hJ\n", "QUJD\nREVGR0h\n", "QUJD=\nREVGR0hJ", "QUJD\n-REVGR0hJ\n",
                             "-----BEGIN CERTIFICATE-----\nQUJD\nREVGR0h*\n-----END CERTIFICATE-----"})
        EXPECT_FALSE(X509::derFromPEM(text).has_value()) << text;
    EXPECT_EQ(X509::derFromPEM("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"), Bytes{});
}

Bytes certificateShape(std::initializer_list<ByteView> parts) { return DER::sequence(parts); }

TEST(X509Signature, TakesTheThirdElementsBitStringAndRejectsOtherShapes) {
    const Bytes tbs = DER::sequence(DER::integer(std::int64_t{1}));
    const Bytes bits = DER::tlv(0x03, Bytes{0x00, 0xAA, 0xBB});
    Bytes certificate = certificateShape({tbs, tbs, bits});
    certificate.insert(certificate.end(), {0xFF, 0xFF, 0xFF});  // trailing bytes are ignored
    EXPECT_EQ(X509::signatureOfDER(certificate), (Bytes{0xAA, 0xBB}));
    EXPECT_TRUE(X509::signatureOfDER(certificateShape({tbs, tbs, DER::tlv(0x03, Bytes{0x07})})).empty());

    const Bytes shapes[] = {
        certificateShape({tbs, tbs, DER::tlv(0x04, Bytes{0x00, 0x01})}), certificateShape({tbs, bits}),
        certificateShape({tbs, tbs, bits, bits}), certificateShape({tbs, tbs, DER::tlv(0x03, Bytes{})}),
        DER::set(tbs, tbs, bits),
    };
    for (const Bytes& shape : shapes) {
        try {
            X509::signatureOfDER(shape);
            ADD_FAILURE() << "accepted";
        } catch (const X509::Error& error) {
            EXPECT_EQ(error, X509::Error::notACertificate());
        }
    }
    EXPECT_THROW(X509::signatureOfDER(Bytes{0x30}), DER::ParseError);
    // The outer element is whole but a child inside it lies about its length.
    EXPECT_THROW(X509::signatureOfDER(Bytes{0x30, 0x03, 0x04, 0x82, 0x01}), DER::ParseError);
}

} // namespace
} // namespace corvane::stream
