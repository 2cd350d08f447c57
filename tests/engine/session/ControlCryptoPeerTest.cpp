#include "engine/session/ControlCrypto.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace corvane::stream {
namespace {

std::string hexOf(const Bytes& bytes) {
    std::string out;
    char pair[3];
    for (auto b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        out += pair;
    }
    return out;
}

// Python's independent AES-GCM opens what we seal, for both nonce styles (the 16-byte v1 nonce exercises
// GCM's GHASH path for long IVs).
TEST(ControlCryptoPeerTest, PythonCryptographyOpensSealedMessagesOfBothStyles) {
    if (test::runCommand("python3 -c 'import cryptography' 2>/dev/null").status != 0)
        GTEST_SKIP() << "python3-cryptography is not installed";
    const Bytes key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (auto style : ControlCrypto::allIVStyles) {
        SCOPED_TRACE(std::string(ControlCrypto::rawValue(style)));
        ControlCrypto crypto(key, style);
        const Bytes sealed = crypto.seal(0x0206, bytesOf("input"), 300, false);
        const std::string script =
            "import sys\n"
            "from cryptography.hazmat.primitives.ciphers.aead import AESGCM\n"
            "m = bytes.fromhex('" + hexOf(sealed) + "')\n"
            "nonce = bytes.fromhex('" + hexOf(ControlCrypto::iv(300, style, false)) + "')\n"
            "print(AESGCM(bytes.fromhex('" + hexOf(key) + "')).decrypt(nonce, m[24:] + m[8:24], None).hex())\n";
        const auto result = test::runCommand("python3 -c \"" + script + "\"");
        ASSERT_EQ(result.status, 0);
        EXPECT_EQ(result.output, hexOf(ControlCrypto::plain(0x0206, bytesOf("input"))) + "\n");
    }
}

} // namespace
} // namespace corvane::stream
