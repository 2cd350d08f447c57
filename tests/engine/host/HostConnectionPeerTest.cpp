// The host connection against a real TLS server of another implementation: openssl s_server.

#include "engine/host/HostConnection.hpp"

#include "engine/EngineLog.hpp"
#include "platform/http/Http.hpp"
#include "tests/platform/http/LoopbackServers.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace corvane::stream {
namespace {

using namespace std::chrono_literals;

constexpr int kHttpsPort = 47984;

// `openssl s_server -WWW` serving the files of `folder`, asking for a client certificate.
class OpensslServer {
public:
    OpensslServer(const std::filesystem::path& folder, const test::TestCertificate& certificate,
                  const std::string& address, int port)
        : logPath_(folder / "s_server.log") {
        const std::string accept = address + ":" + std::to_string(port);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(folder.c_str()) != 0) _exit(127);
            const int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int none = open("/dev/null", O_RDONLY);
            if (log < 0 || none < 0) _exit(127);
            dup2(none, 0);
            dup2(log, 1);
            dup2(log, 2);
            execlp("openssl", "openssl", "s_server", "-accept", accept.c_str(), "-cert",
                   certificate.certificatePem.c_str(), "-key", certificate.keyPem.c_str(), "-WWW", "-verify", "1",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // s_server says ACCEPT once it listens.
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (pid_ > 0 && log().find("ACCEPT") == std::string::npos && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
    }
    ~OpensslServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string log() const { return test::readFile(logPath_); }

private:
    std::filesystem::path logPath_;
    pid_t pid_ = -1;
};

class HostConnectionPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        box = test::makeTestCertificate(folder.path(), "box");
        other = test::makeTestCertificate(folder.path(), "other");
        client = test::makeTestCertificate(folder.path(), "client");
        std::ofstream(folder.path() / "serverinfo") << "<root status_code=\"200\"><hostname>PEER</hostname></root>";
        identity.privateKey = client.key;
        identity.certificateDER = client.der;
        identity.secIdentity = platform::KeyStore::Identity{client.der, client.key};
    }

    test::TempDir folder;
    test::TestCertificate box, other, client;
    ClientIdentity identity;
    std::string address = test::uniqueLoopbackAddress();
};

TEST_F(HostConnectionPeerTest, PinnedOpensslServerAnswersAndSeesTheClientCertificate) {
    OpensslServer server(folder.path(), box, address, kHttpsPort);
    HostConnection connection(address, 48089, kHttpsPort, identity, box.der);
    const HostXML reply = connection.get("/serverinfo", {}, true, 5);
    EXPECT_EQ(reply["hostname"], "PEER");
    EXPECT_NE(server.log().find("CN = client"), std::string::npos) << server.log();
}

TEST_F(HostConnectionPeerTest, OpensslServerWithAnotherCertificateIsRejected) {
    std::vector<std::string> lines;
    EngineLog::setSink([&](const std::string& line) { lines.push_back(line); });
    OpensslServer server(folder.path(), other, address, kHttpsPort);
    HostConnection connection(address, 48089, kHttpsPort, identity, box.der);
    try {
        connection.get("/serverinfo", {}, true, 5);
        ADD_FAILURE() << "accepted a certificate that is not the pinned one";
    } catch (const platform::HttpError& error) {
        EXPECT_EQ(error.kind, platform::HttpError::Kind::cancelled);
    }
    EngineLog::setSink(nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{
                         "[engine] https: rejected the box's certificate (not the one saved at pairing)"});
    // The handshake ended before our certificate was sent or a request line was read.
    EXPECT_EQ(server.log().find("CN = client"), std::string::npos);
    EXPECT_EQ(server.log().find("serverinfo"), std::string::npos);
}

} // namespace
} // namespace corvane::stream
