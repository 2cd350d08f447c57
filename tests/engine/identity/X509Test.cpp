#include "engine/pairing/identity/X509.hpp"
#include <gtest/gtest.h>
#include "engine/pairing/identity/DER.hpp"
#include "tests/support/TestSupport.hpp"

namespace corvane::stream {
namespace {

TEST(X509, PemReadsOnlyStrictBase64AndTheSignatureIsTheThirdElementsBitString) {
    for (const char* text : {"-----BEGIN CERTIFICATE-----\r\nQUJD\r\nREVGR0hJ\r\n-----END CERTIFICATE-----\r\n",
                             "-----BEGIN RSA THING-----\n\n  QUJD\t\n\t REVGR0hJ  \n-----whatever\n",
                             "QUJD\x0BREVG\x0CR0hJ", "QUJD\xE2\x80\xA8REVGR0hJ\xC2\x85",  // VT FF U+2028 U+0085 end lines
                             "\xC2\xA0QUJD\xE2\x80\x83\nREVGR0hJ"})                          // U+00A0 U+2003 are blanks
        EXPECT_EQ(X509::derFromPEM(text), bytesOf("ABCDEFGHI")) << text;
    for (const char* text : {"QU JD\nREVGR0hJ\n", "QUJD\nREVGR0h\n", "QUJD=\nREVGR0hJ", "QUJD\n-REVGR0hJ\n", "QUJDREVGR0h*"})
        EXPECT_FALSE(X509::derFromPEM(text).has_value()) << text;
    EXPECT_EQ(X509::derFromPEM("-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n"), Bytes{});
    // The signature is the third element's bit string of a certificate's shape.
    const Bytes tbs = DER::sequence(DER::null);
    const Bytes bits = DER::tlv(0x03, Bytes{0x00, 0xAA, 0xBB});
    Bytes certificate = DER::sequence(tbs, tbs, bits);
    certificate.insert(certificate.end(), {0xFF, 0xFF, 0xFF});  // trailing bytes are ignored
    EXPECT_EQ(X509::signatureOfDER(certificate), (Bytes{0xAA, 0xBB}));
    EXPECT_TRUE(X509::signatureOfDER(DER::sequence(tbs, tbs, DER::tlv(0x03, Bytes{0x07}))).empty());
    for (const Bytes& shape : {DER::sequence(tbs, tbs, DER::tlv(0x04, Bytes{0x00, 0x01})), DER::sequence(tbs, bits),
                               DER::sequence(tbs, tbs, bits, bits), DER::sequence(tbs, tbs, DER::tlv(0x03, Bytes{})),
                               DER::set(tbs, tbs, bits)})
        EXPECT_EQ(test::failureOf<X509::Error>([&] { X509::signatureOfDER(shape); }), "notACertificate");
    EXPECT_THROW(X509::signatureOfDER(Bytes{0x30}), DER::ParseError);
    EXPECT_THROW(X509::signatureOfDER(Bytes{0x30, 0x03, 0x04, 0x82, 0x01}), DER::ParseError);  // a child lies
}

} // namespace
} // namespace corvane::stream
