#pragma once

// Install folders, zip archives and python web servers for the app update tests.

#include "app/updates/UpdateManager.hpp"
#include "platform/crypto/Sha256.hpp"
#include "tests/app/agent/PythonServer.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <gtest/gtest.h>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace corvane::test {

inline const std::string kIdentifier = "org.corvane.Corvane";

inline void writeFile(const std::filesystem::path& path, const std::string& text, mode_t mode = 0644) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// An install folder as `cmake --install` lays it out.
inline void makeInstallFolder(const std::filesystem::path& folder, const std::string& version,
                              const std::string& program, const std::string& identifier = kIdentifier) {
    writeFile(folder / "bin/corvane", program, 0755);
    writeFile(folder / "lib/libcorvane_engine.so.1", "engine " + version);
    writeFile(folder / "share/corvane/app-info.json",
              "{\"identifier\": \"" + identifier + "\", \"version\": \"" + version + "\"}");
}

// Every entry below `folder` with its type, mode and content.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        std::string value = std::to_string(st.st_mode) + ":";
        if (S_ISREG(st.st_mode)) value += readFile(entry.path());
        if (S_ISLNK(st.st_mode)) value += std::filesystem::read_symlink(entry.path()).string();
        out[entry.path().lexically_relative(folder).string()] = value;
    }
    return out;
}

inline std::string sha256Of(const std::filesystem::path& path) {
    return platform::Sha256::hex(platform::Sha256::ofFile(path));
}

inline int run(const std::string& command) { return runCommand(command).status; }

// Serves a folder over http on a loopback address; paths under /500/ answer with status 500 and the file,
// paths under /halves/ send it in two halves.
inline const char* kFileServer = R"PY(
import os, sys, time
from http.server import SimpleHTTPRequestHandler, HTTPServer
folder = sys.argv[3]
class Files(SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=folder, **k)
    def do_GET(self):
        if self.path.startswith('/500/'):
            data = open(os.path.join(folder, self.path[5:]), 'rb').read()
            self.send_response(500)
            self.send_header('Content-Length', str(len(data)))
            self.end_headers()
            self.wfile.write(data)
            return
        if self.path.startswith('/halves/'):
            # The first half, a pause, then the rest: the client sees the download at exactly half.
            data = open(os.path.join(folder, self.path[8:]), 'rb').read()
            self.send_response(200)
            self.send_header('Content-Length', str(len(data)))
            self.end_headers()
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            time.sleep(0.3)
            self.wfile.write(data[len(data) // 2:])
            return
        super().do_GET()
    def log_message(self, *a):
        pass
HTTPServer((sys.argv[1], int(sys.argv[2])), Files).serve_forever()
)PY";

class AppUpdateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication(true);
        for (const auto& folder : {served(), apps(), temporary(), outside()}) std::filesystem::create_directories(folder);
        server = std::make_unique<PythonServer>(
            std::vector<std::string>{"-c", kFileServer, address, std::to_string(port), served().string()}, address, port);
    }
    std::filesystem::path served() const { return root.path() / "served"; }
    std::filesystem::path apps() const { return root.path() / "apps"; }
    std::filesystem::path installed() const { return apps() / "Corvane"; }
    std::filesystem::path temporary() const { return root.path() / "tmp"; }
    std::filesystem::path outside() const { return root.path() / "outside"; }
    std::string urlOf(const std::string& name) const { return "http://" + address + ":" + std::to_string(port) + "/" + name; }
    void writeFeed(const std::string& archive, const std::optional<std::string>& sha256, const std::string& version = "2.0") {
        std::string feed = "{\"version\": \"" + version + "\", \"url\": \"" + urlOf(archive) + "\", \"notes\": \"New\"";
        if (sha256) feed += ", \"sha256\": \"" + *sha256 + "\"";
        writeFile(served() / "feed.json", feed + "}");
    }
    // A manager whose running bundle is the installed folder; it quits by ending the waited process.
    std::unique_ptr<UpdateManager> make(AppInfo info) {
        auto manager = std::make_unique<UpdateManager>(clock, pool, AgentClient("127.0.0.1", 1), std::move(info));
        manager->runningBundleOverride = installed();
        manager->temporaryFolder = temporary();
        manager->relaunchWaitPid = standIn.start();
        // Quitting is only counted: the test ends the stand-in itself, once it has seen that nothing started.
        manager->quit = [this] { ++quits; };
        recorder.attach(*manager);
        return manager;
    }
    std::unique_ptr<UpdateManager> forFeed(const std::string& current = "1.0") {
        return make(AppInfo{current, kIdentifier, urlOf("feed.json"), ""});
    }
    // Checks, then installs what the check found; true when the update ended (quit or failed).
    bool checkAndUpdate(UpdateManager& manager) {
        manager.checkNow();
        if (!pumpUntil(clock, [&] { return !manager.isBusy(); }) || !manager.appUpdate()) return false;
        manager.updateApp();
        return pumpUntil(clock, [&] { return quits > 0 || manager.status().kind == UpdateManager::Status::Kind::failed; });
    }
    TempDir root;
    std::string address = uniqueLoopbackAddress();
    int port = 8000;
    std::unique_ptr<PythonServer> server;
    ManualClock clock;
    AppPool pool;
    Recorder recorder;
    StandIn standIn;
    int quits = 0;
};

} // namespace corvane::test
