#pragma once

// A self-signed certificate and its key made by the openssl tool, so the layer under test is not its own
// witness: as the PEM files openssl wrote and in memory.

#include "platform/crypto/Crypto.hpp"
#include "tests/support/TestSupport.hpp"
#include <filesystem>
#include <stdexcept>
#include <string>

namespace corvane::test {

struct TestCertificate {
    std::filesystem::path certificatePem;
    std::filesystem::path keyPem;
    Bytes der;
    platform::PrivateKey key;
};

inline TestCertificate makeTestCertificate(const std::filesystem::path& folder, const std::string& name) {
    TestCertificate made{folder / (name + ".crt"), folder / (name + ".key"), {}, {}};
    const auto der = folder / (name + ".der");
    const std::string cert = "'" + made.certificatePem.string() + "'";
    if (runCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + name + "' -keyout '" +
                   made.keyPem.string() + "' -out " + cert + " 2>/dev/null && openssl x509 -in " + cert +
                   " -outform DER -out '" + der.string() + "'")
            .status != 0)
        throw std::runtime_error("openssl could not make " + name);
    made.der = bytesOf(readWhole(der));
    auto key = platform::PrivateKey::fromPem(readWhole(made.keyPem));
    if (!key) throw std::runtime_error("unreadable key " + name);
    made.key = *key;
    return made;
}

} // namespace corvane::test
