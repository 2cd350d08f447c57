#include "engine/session/ControlCrypto.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>


namespace corvane::stream {
namespace {

// Python's independent AES-GCM opens what we seal, for both nonce styles. The script reads the sealed
// layout and forms each nonce itself (the 16-byte v1 nonce exercises GCM's GHASH path for long IVs).
TEST(ControlCryptoPeerTest, PythonCryptographyOpensSealedMessagesOfBothStyles) {
    if (test::runCommand("python3 -c 'import cryptography' 2>/dev/null").status != 0)
        GTEST_SKIP() << "python3-cryptography is not installed";
    const Bytes key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const std::string script = R"(
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM
key, style, m = bytes.fromhex(sys.argv[1]), sys.argv[2], bytes.fromhex(sys.argv[3])
assert m[0:2] == b'\x01\x00' and int.from_bytes(m[2:4], 'little') == len(m) - 4
seq = int.from_bytes(m[4:8], 'little')
if style == 'v1':
    nonce = bytes([seq % 256]) + bytes(15)
else:
    nonce = seq.to_bytes(4, 'little') + bytes(6) + b'\x43\x43'
plain = AESGCM(key).decrypt(nonce, m[24:] + m[8:24], None)
assert plain == (0x0206).to_bytes(2, 'little') + (5).to_bytes(2, 'little') + b'input', plain.hex()
print(seq)
)";
    test::TempDir dir;
    const std::string path = (dir.path() / "open.py").string();
    test::writeWhole(path, bytesOf(script));
    for (auto style : ControlCrypto::allIVStyles) {
        const std::string name(ControlCrypto::rawValue(style));
        ControlCrypto crypto(key, style);
        const Bytes sealed = crypto.seal(0x0206, bytesOf("input"), 300, false);
        const auto result = test::runCommand("python3 " + path + " " + test::hexOf(key) + " " + name + " " + test::hexOf(sealed));
        EXPECT_EQ(result.status, 0) << name;
        EXPECT_EQ(result.output, "300\n") << name;
    }
}

} // namespace
} // namespace corvane::stream
