#pragma once

// How tests reach the simulated box as the app does: a box host holding this computer's identity in a
// folder of the test's own, paired by typing the PIN on the box.

#include <filesystem>
#include <memory>
#include <string>
#include "boxsim/Box.hpp"
#include "engine/BoxHost.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/keystore/KeyStore.hpp"

namespace corvane::test {

inline std::shared_ptr<stream::BoxHost> boxHostFor(const std::string& address, const std::filesystem::path& dir) {
    return std::make_shared<stream::BoxHost>(
        address, 48089, stream::ClientIdentityStore("Corvane Stream Client", platform::KeyStore(dir / "keys")),
        std::make_shared<platform::UserDefaults>(dir / "defaults.json"));
}

inline void pairWithBox(stream::BoxHost& host, const std::shared_ptr<boxsim::Box>& box) {
    host.pair("Corvane", [box](const std::string& pin, std::stop_token) { box->host().enterPin(pin); });
}

}  // namespace corvane::test
