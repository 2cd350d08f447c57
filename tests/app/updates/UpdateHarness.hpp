#pragma once

// What the update tests share: one application object for the program, a pump that runs the event loop and
// steps the manual clock, a recorder of published fields, install folders, and python web servers.

#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/updates/UpdateManager.hpp"
#include "platform/crypto/Sha256.hpp"
#include "tests/app/agent/PythonServer.hpp"
#include "tests/support/TestSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"
#include <gtest/gtest.h>
#include <QApplication>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

// The first call decides for the whole program: with `display`, a widget application on an Xvfb display of
// its own (for alerts and the clipboard), else a core application. Never destroyed: Qt's statics go first.
// The log's folder is the program's, removed as it exits.
inline void ensureApplication(bool display = false) {
    if (QCoreApplication::instance()) return;
    static const TempDir state;
    ::setenv("XDG_STATE_HOME", state.path().c_str(), 1);
    static int argc = 1;
    static char name[] = "corvane-tests", *argv[] = {name, nullptr};
    if (display) new XvfbDisplay, ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    display ? (void)new QApplication(argc, argv) : (void)new QCoreApplication(argc, argv);
}

// Runs the event loop; whenever nothing but clock sleeps can move, steps the clock by one second. Gives up
// after a minute (a guard against a hang, not a time measurement).
inline bool pumpUntil(ManualClock& clock, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (done()) return true;
        if (clock.sleepers() > 0) clock.advance(1);
        else QThread::usleep(200);
    }
    return true;
}

// Every value a published field took, in order (repeats of the same value kept once).
struct Recorder {
    std::vector<std::string> statuses;
    std::vector<std::optional<double>> progress;
    std::vector<std::optional<std::string>> batchSteps;
    int checks = 0;
    void attach(UpdateManager& manager) {
        QObject::connect(&manager, &UpdateManager::changed, &manager, [this, &manager] {
            static const char* const kinds[] = {"idle", "checking", "upToDate", "updating: ", "failed: "};
            const std::string text = kinds[static_cast<int>(manager.status().kind)] + manager.status().text;
            if (statuses.empty() || statuses.back() != text) statuses.push_back(text), checks += text == "checking";
            if (progress.empty() || progress.back() != manager.progress()) progress.push_back(manager.progress());
            if (batchSteps.empty() || batchSteps.back() != manager.batchStep()) batchSteps.push_back(manager.batchStep());
        });
    }
    bool saw(const std::string& status) const { return std::find(statuses.begin(), statuses.end(), status) != statuses.end(); }
};

// A stand-in for the running app's process: the relaunch waits for it to end.
struct StandIn {
    pid_t pid = -1;
    pid_t start() {
        end();
        if ((pid = ::fork()) == 0) ::execlp("sleep", "sleep", "120", nullptr), ::_exit(127);
        return pid;
    }
    void end() { if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0), pid = -1; }
    ~StandIn() { end(); }
};

inline std::string logTail(int lines = 50) {
    Log::flush();
    return Log::tail(lines);
}

inline const std::string kIdentifier = "org.corvane.Corvane";

inline void writeFile(const std::filesystem::path& path, const std::string& text, mode_t mode = 0644) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), mode);
}

// An install folder as `cmake --install` lays it out.
inline void makeInstallFolder(const std::filesystem::path& folder, const std::string& version, const std::string& program) {
    writeFile(folder / "bin/corvane", program, 0755);
    writeFile(folder / "lib/libcorvane_engine.so.1", "engine " + version);
    writeFile(folder / "share/corvane/app-info.json", "{\"identifier\": \"" + kIdentifier + "\", \"version\": \"" + version + "\"}");
}

// Every entry below `folder` with its type, mode and content.
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        std::string value = std::to_string(st.st_mode) + ":";
        if (S_ISREG(st.st_mode)) value += readWhole(entry.path());
        if (S_ISLNK(st.st_mode)) value += std::filesystem::read_symlink(entry.path()).string();
        out[entry.path().lexically_relative(folder).string()] = value;
    }
    return out;
}

// Other programs' files in a prefix the app shares with them, such as ~/.local: in bin/ (one named as the
// links a switch makes), lib/ and share/, an empty folder, and the app's own data and state folders.
inline void addOtherPrograms(const std::filesystem::path& prefix) {
    writeFile(prefix / "bin/other-tool", "#!/bin/sh\n", 0755);
    writeFile(prefix / "bin/.corvane-link-mine", "not a link");
    writeFile(prefix / "lib/python3.11/site-packages/userpkg.py", "print('mine')\n");
    writeFile(prefix / "lib/corvane.conf", "mine");
    std::filesystem::create_directories(prefix / "lib/empty");
    writeFile(prefix / "share/applications/other.desktop", "[Desktop Entry]\n");
    writeFile(prefix / "share/icons/hicolor/48x48/apps/other.png", "png");
    writeFile(prefix / "share/Corvane/keys/client.pem", "key");
    writeFile(prefix / "state/Corvane/Corvane.log", "log\n");
}

// What other programs put in `prefix`, with their folders: everything but the app's program, its versions,
// what its install put in share/ and its update journal.
inline std::map<std::string, std::string> otherPrograms(const std::filesystem::path& prefix) {
    auto all = snapshot(prefix);
    std::erase_if(all, [](const auto& entry) {
        const std::string& name = entry.first;
        for (const char* ours : {"bin/corvane", "lib/corvane", ".versions", "share/corvane", "share/applications/corvane.desktop",
                                 "lib/libcorvane_engine.so.1", "state/Corvane/update-install"})
            if (name == ours || name.starts_with(std::string(ours) + "/")) return true;
        return false;
    });
    return all;
}

inline std::string sha256Of(const std::filesystem::path& path) { return platform::Sha256::hex(platform::Sha256::ofFile(path)); }

inline int run(const std::string& command) { return runCommand(command).status; }

// Serves a folder on a loopback address, over https when given a certificate with its key. Paths under
// /500/ answer with status 500 and the file, under /halves/ send it in two halves with a pause between (the
// client sees the download at exactly half), under /to-http/ redirect to the same file at the given http URL.
inline const char* kFileServer = R"PY(
import functools, os, ssl, sys, time
from http.server import SimpleHTTPRequestHandler, HTTPServer
folder = sys.argv[3]
class Files(SimpleHTTPRequestHandler):
    def send(self, status, data, pause=0, headers=()):
        self.send_response(status); [self.send_header(*h) for h in (('Content-Length', str(len(data))),) + headers]; self.end_headers()
        self.wfile.write(data[:len(data) // 2]); self.wfile.flush(); time.sleep(pause); self.wfile.write(data[len(data) // 2:])
    def do_GET(self):
        kind, _, rest = self.path[1:].partition('/')
        read = lambda: open(os.path.join(folder, rest), 'rb').read()
        if kind == '500': return self.send(500, read())
        if kind == 'halves': return self.send(200, read(), 0.3)
        if kind == 'to-http': return self.send(302, b'', 0, (('Location', sys.argv[5] + rest),))
        super().do_GET()
server = HTTPServer((sys.argv[1], int(sys.argv[2])), functools.partial(Files, directory=folder))
if len(sys.argv) > 4:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); context.load_cert_chain(sys.argv[4])
    server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
)PY";

class AppUpdateFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication(display);
        for (const auto& folder : {served(), apps(), temporary(), outside()}) std::filesystem::create_directories(folder);
        server = std::make_unique<PythonServer>(
            std::vector<std::string>{"-c", kFileServer, address, std::to_string(port), served().string()}, address, port);
    }
    std::filesystem::path served() const { return root.path() / "served"; }
    std::filesystem::path apps() const { return root.path() / "apps"; }
    std::filesystem::path installed() const { return apps() / "Corvane"; }
    std::filesystem::path temporary() const { return root.path() / "tmp"; }
    std::filesystem::path outside() const { return root.path() / "outside"; }
    std::string urlOf(const std::string& name, const std::string& scheme = "http") const {
        return scheme + "://" + address + ":" + std::to_string(scheme == "http" ? port : port + 1) + "/" + name;
    }
    void writeFeed(const std::string& archiveURL, const std::optional<std::string>& sha256) {
        std::string feed = "{\"version\": \"2.0\", \"url\": \"" + archiveURL + "\", \"notes\": \"New\"";
        if (sha256) feed += ", \"sha256\": \"" + *sha256 + "\"";
        writeFile(served() / "feed.json", feed + "}");
    }
    // A manager whose running bundle is the installed folder; quitting is only counted: the test ends the
    // stand-in itself, once it has seen that nothing started.
    std::unique_ptr<UpdateManager> make(AppInfo info) {
        auto manager = std::make_unique<UpdateManager>(clock, pool, AgentClient("127.0.0.1", 1), std::move(info));
        manager->runningBundleOverride = installed();
        manager->temporaryFolder = temporary();
        manager->relaunchWaitPid = standIn.start();
        manager->quit = [this] { ++quits; };
        recorder.attach(*manager);
        return manager;
    }
    std::unique_ptr<UpdateManager> forFeed(const std::string& feedURL) { return make(AppInfo{"1.0", kIdentifier, feedURL, ""}); }
    // Serves the folder over https on the next port too, its certificate made for the address by a certificate
    // authority of the test's own; trust() has the app trust that authority until the test ends.
    void serveHttps() {
        const std::string tls = "cd '" + root.path().string() + "' && exec 2>/dev/null && openssl req -x509 -newkey rsa:2048 "
            "-nodes -days 2 -subj /CN=Test-CA -keyout ca.key -out ca.pem && openssl req -newkey rsa:2048 -nodes -subj /CN=s "
            "-keyout s.key -out s.csr && echo subjectAltName=IP:" + address + " > san && openssl x509 -req -in s.csr -CA "
            "ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san -out s.pem && cat s.pem s.key > both.pem";
        ASSERT_EQ(run(tls), 0);
        secure = std::make_unique<PythonServer>(std::vector<std::string>{"-c", kFileServer, address, std::to_string(port + 1),
            served().string(), (root.path() / "both.pem").string(), urlOf("")}, address, port + 1);
    }
    void trust() { ::setenv("CURL_CA_BUNDLE", (root.path() / "ca.pem").c_str(), 1); }
    void TearDown() override { caBundle ? ::setenv("CURL_CA_BUNDLE", caBundle->c_str(), 1) : ::unsetenv("CURL_CA_BUNDLE"); }
    // Checks, then installs what the check found; true when the update ended (quit or failed), or got to `until`.
    bool checkAndUpdate(UpdateManager& manager, std::function<bool()> until = {}) {
        manager.checkNow();
        if (!pumpUntil(clock, [&] { return !manager.isBusy(); }) || !manager.appUpdate()) return false;
        manager.updateApp();
        if (!until) until = [&] { return quits > 0 || manager.status().kind == UpdateManager::Status::Kind::failed; };
        return pumpUntil(clock, until);
    }
    bool display = true;  // for the alert tests in the same program
    TempDir root;
    std::string address = uniqueLoopbackAddress();
    int port = 8000;  // https on the next one
    std::unique_ptr<PythonServer> server;
    std::unique_ptr<PythonServer> secure;
    const std::optional<std::string> caBundle =
        std::getenv("CURL_CA_BUNDLE") ? std::optional<std::string>(std::getenv("CURL_CA_BUNDLE")) : std::nullopt;
    ManualClock clock;
    AppPool pool;
    Recorder recorder;
    StandIn standIn;
    int quits = 0;
};

} // namespace corvane::test
