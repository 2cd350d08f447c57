#include "app/updates/InstallFolder.hpp"
#include "app/updates/VersionSwitch.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <QAbstractButton>
#include <QMessageBox>
#include <QScopeGuard>
#include <csignal>
#include <cstring>
#include <future>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>

namespace corvane {
namespace {

using Source = UpdateManager::AppUpdate::Source;

std::string quoted(const std::string& text) { return "'" + text + "'"; }

using AppUpdateTest = test::AppUpdateFixture;

// A feed counts whatever the status it comes with; over https only from a trusted authority and never followed
// down to http. Otherwise the source folder is read.
TEST_F(AppUpdateTest, FeedsAreReadWhateverTheirStatusOverTrustedHttpsOnlyAndFallBackToTheSourceFolder) {
    serveHttps();
    test::TempDir source;
    test::writeFile(source.path() / "VERSION", "1.9.1\n");
    test::writeFile(source.path() / "CHANGELOG.md", "## 1.9.1\n- from source\n");
    test::writeFile(served() / "newer.json", "{\"version\": \"1.10\", \"url\": \"https://127.0.0.1/c.zip\", \"notes\": \"N\", \"sha256\": \"AB\"}");
    test::writeFile(served() / "same.json", "{\"version\": \"1.9\", \"url\": \"https://127.0.0.1/c.zip\"}");
    test::writeFile(served() / "page.html", "<html><body>Not here</body></html>");
    test::writeFile(served() / "file.json", "{\"version\": \"3\", \"url\": \"file:///etc/passwd\"}");
    const UpdateManager::AppUpdate fromFeed{"1.10", "N", {Source::Kind::download, "https://127.0.0.1/c.zip", "AB"}};
    const UpdateManager::AppUpdate fromSource{"1.9.1", "- from source", {Source::Kind::sourceFolder, source.path().string(), {}}};
    const std::tuple<std::string, bool, UpdateManager::AppUpdate> rows[] = {
        {urlOf("newer.json"), false, fromFeed}, {urlOf("500/newer.json"), false, fromFeed}, {urlOf("same.json"), false, fromSource},
        {urlOf("page.html"), false, fromSource}, {urlOf("file.json"), false, fromSource}, {urlOf("missing.json"), false, fromSource},
        {urlOf("newer.json", "https"), false, fromSource}, {urlOf("newer.json", "https"), true, fromFeed},
        {urlOf("to-http/newer.json", "https"), true, fromSource}};
    for (const auto& [url, trusted, expected] : rows) {
        if (trusted) trust();
        auto manager = make(AppInfo{"1.9", test::kIdentifier, url, source.path().string()});
        manager->checkNow();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
        EXPECT_EQ(manager->appUpdate(), expected) << url;
    }
    // A feed has 15 s in all.
    std::optional<double> limit;
    UpdateManager::fetchFeed(urlOf("newer.json"), {}, [&](const platform::HttpRequest& request, std::stop_token, auto) {
        return limit = request.timeoutSeconds, platform::HttpResponse{};
    });
    EXPECT_EQ(limit, 15);
}

TEST_F(AppUpdateTest, ADownloadedUpdateIsCheckedUnpackedSwappedInAndStartedAfterQuitting) {
    serveHttps();
    trust();
    // Over https an archive needs no digest from the feed. The second updates the app the first put in, once
    // its next start has tidied up. The last one is quit while it installs: the event loop has ended, and what
    // the update made goes all the same.
    const std::tuple<const char*, const char*, const char*> zippers[] = {
        {"python", "python3 -m zipfile -c", "http"}, {"bsdtar", "bsdtar -a -cf", "https"}, {"quit", "bsdtar -a -cf", "https"}};
    for (const auto& [zipper, tool, scheme] : zippers) {
        SCOPED_TRACE(zipper);
        recorder = {}, quits = 0;
        const auto started = root.path() / "started";
        std::filesystem::remove(started);
        if (zipper != std::string("bsdtar")) {
            std::filesystem::remove_all(installed());
            test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
        }
        auto manager = forFeed(urlOf("feed.json"));
        // The new program records whether the old process was still there (ended: gone, or a zombie its parent
        // has not reaped yet); python's zipfile keeps modes as bsdtar does.
        test::TempDir stage;
        test::makeInstallFolder(stage.path() / "Corvane-2.0", "2.0", "#!/bin/sh\nstate=$(awk '{print $3}' /proc/" +
            std::to_string(standIn.pid) + "/stat 2>/dev/null)\nif [ -n \"$state\" ] && [ \"$state\" != Z ]; then echo early > " +
            quoted(started.string()) + "; else echo after > " + quoted(started.string()) + "; fi\n");
        // A link that climbs only from its own folder is kept (bsdtar stores links; python's zipfile follows them).
        if (zipper != std::string("python"))
            std::filesystem::create_symlink("../lib/libcorvane_engine.so.1", stage.path() / "Corvane-2.0/bin/engine");
        const auto archive = served() / (std::string(zipper) + ".zip");
        ASSERT_EQ(test::run("cd " + quoted(stage.path().string()) + " && " + tool + " " + quoted(archive.string()) + " Corvane-2.0"), 0);
        auto digest = test::sha256Of(archive);
        std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
        writeFeed(urlOf("halves/" + archive.filename().string(), scheme), scheme == std::string("http") ? digest : "");
        if (zipper == std::string("quit")) {
            ASSERT_TRUE(checkAndUpdate(*manager, [&] { return manager->status().text == "Installing the update..."; }));
            manager.reset();  // nothing more of the event loop runs
            pool.threads()->waitForDone();
            EXPECT_TRUE(std::filesystem::is_empty(temporary()));
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
            QCoreApplication::processEvents();  // what was left waiting ends, harmlessly
            continue;
        }
        ASSERT_TRUE(checkAndUpdate(*manager));
        ASSERT_EQ(quits, 1) << manager->status().text;
        // The install folder's program is now a link to the new version, beside the one before.
        const auto current = InstallFolder::current(installed(), test::kIdentifier);
        ASSERT_TRUE(current);
        EXPECT_TRUE(std::filesystem::is_symlink(installed() / "bin/corvane"));
        EXPECT_EQ(test::snapshot(*current), test::snapshot(stage.path() / "Corvane-2.0"));
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
        EXPECT_EQ(std::vector(recorder.statuses.end() - 4, recorder.statuses.end()),
                  (std::vector<std::string>{"upToDate", "updating: Downloading Corvane 2.0...",
                                            "updating: Installing the update...", "updating: Restarting Corvane..."}));
        // 0, half the archive as 0.425 (an odd size is a byte short of half), 0.9 and 1, never backwards.
        const auto& seen = recorder.progress;
        ASSERT_GE(seen.size(), 4u) << ::testing::PrintToString(seen);
        EXPECT_EQ((std::vector{seen[1], seen.end()[-2], seen.back()}), (std::vector<std::optional<double>>{0.0, 0.9, 1.0}));
        EXPECT_TRUE(std::is_sorted(seen.begin() + 1, seen.end())) << ::testing::PrintToString(seen);
        EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](auto p) { return p && std::abs(*p - 0.425) < 1e-3; }), 1);
        // The new program runs only once the old process has gone: not while it lingers after quitting.
        QThread::msleep(300);
        EXPECT_FALSE(std::filesystem::exists(started));
        standIn.end();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return test::readWhole(started) == "after\n"; }));
        // The next start removes the version before.
        auto tidying = manager->tidyUp();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return tidying.isReady(); }));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(installed() / "lib/corvane"), {}), 1);
        EXPECT_EQ(std::filesystem::directory_iterator(installed() / "lib/corvane")->path(), *current);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(installed()), {}), 3);  // bin/, lib/ and share/
    }
}

// Installed with other programs into a prefix such as /opt/tools, or into ~/.local where the app's data and
// state folders sit too: the update goes in, bin/corvane starts it, and neither the update nor the next
// start's tidy-up touches a file or folder of the others.
TEST_F(AppUpdateTest, APrefixSharedWithOtherProgramsUpdatesAndKeepsEveryFileOfTheirs) {
    test::TempDir stage;
    test::makeInstallFolder(stage.path() / "Corvane-2.0", "2.0", "#!/bin/sh\necho new\n");
    const auto archive = served() / "update.zip";
    ASSERT_EQ(test::run("cd " + quoted(stage.path().string()) + " && python3 -m zipfile -c " + quoted(archive.string()) +
                        " Corvane-2.0"), 0);
    writeFeed(urlOf("update.zip"), test::sha256Of(archive));
    for (const bool home : {false, true}) {
        const auto prefix = root.path() / (home ? "home/.local" : "opt/tools");
        SCOPED_TRACE(prefix);
        quits = 0;
        test::makeInstallFolder(prefix, "1.0", "#!/bin/sh\necho old\n");
        test::addOtherPrograms(prefix);
        const auto theirs = test::otherPrograms(prefix);
        const auto program = prefix / "bin/corvane";
        const auto started = [&] { return test::runCommand(quoted(program.string())).output; };
        // The app as it runs from the prefix; on ~/.local its journal goes to ~/.local/state/Corvane.
        const auto start = [&] {
            auto manager = forFeed(urlOf("feed.json"));
            manager->runningBundleOverride.reset();
            manager->runningProgram = program;
            manager->stateFolder = home ? prefix / "state/Corvane" : root.path() / "state";
            return manager;
        };
        auto manager = start();
        ASSERT_TRUE(checkAndUpdate(*manager));
        EXPECT_EQ(manager->appUpdateObstacle(), std::nullopt);
        ASSERT_EQ(quits, 1) << manager->status().text;
        EXPECT_EQ(started(), "new\n");
        EXPECT_EQ(test::otherPrograms(prefix), theirs);

        manager = start();
        auto tidying = manager->tidyUp();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return tidying.isReady(); }));
        EXPECT_EQ(started(), "new\n");
        EXPECT_EQ(test::otherPrograms(prefix), theirs);
        EXPECT_NE(test::logTail(3).find(" earlier version(s) or leftover(s) from " + prefix.string()), std::string::npos);
    }
}

// Where the app cannot change its prefix (another user's, or the system's /usr), the update row says why and
// what to do, and the app's update does nothing. Found only once the update starts, the failure says the same
// and the row takes it. Nothing is downloaded and nothing changes.
TEST_F(AppUpdateTest, WhereTheAppCannotChangeItsPrefixTheRowAndTheFailureSayWhyAndWhatToDo) {
    test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
    writeFeed(urlOf("missing.zip"), std::string(64, '0'));
    const auto bin = installed() / "bin";
    const auto before = test::snapshot(installed());
    const std::string advice =
        " Install the new version the way you installed this one, or install Corvane in ~/.local, where it updates itself.";
    // Tests may run as root, who can write anywhere: there the folder is another user's.
    const auto lock = [&] { ASSERT_EQ(::geteuid() == 0 ? ::chown(bin.c_str(), 65534, 65534) : ::chmod(bin.c_str(), 0555), 0); };
    const std::string why = bin.string() + (::geteuid() == 0 ? ": that folder belongs to another user." : ": that folder is read-only.");
    const std::tuple<std::filesystem::path, std::string> rows[] = {{installed(), why}, {"/usr", "/usr/bin: that folder is the system's."}};
    for (const auto& [prefix, reason] : rows) {
        SCOPED_TRACE(prefix);
        const std::string text = "Corvane can't update itself in " + reason + advice;
        // Found by the check: the update does nothing.
        if (prefix == installed()) lock();
        auto manager = forFeed(urlOf("feed.json"));
        manager->runningBundleOverride = prefix;
        manager->checkNow();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
        EXPECT_EQ(manager->appUpdateObstacle(), text);
        EXPECT_FALSE(manager->canUpdateApp());
        EXPECT_EQ(manager->pendingCount(), 0);
        manager->updateApp();
        EXPECT_FALSE(manager->isBusy());
        EXPECT_EQ(manager->status(), UpdateManager::Status::upToDate());
        // Found once the update starts.
        ::geteuid() == 0 ? (void)::chown(bin.c_str(), 0, 0) : (void)::chmod(bin.c_str(), 0755);
        quits = 0;
        manager = forFeed(urlOf("feed.json"));
        manager->checkNow();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
        ASSERT_TRUE(manager->canUpdateApp());
        if (prefix == installed()) lock();
        manager->runningBundleOverride = prefix;
        manager->updateApp();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(text));
        EXPECT_EQ(manager->appUpdateObstacle(), text);
        EXPECT_EQ(quits, 0);
        EXPECT_NE(test::logTail(2).find("update: app update to 2.0 failed: " + text + " (refused before downloading)"),
                  std::string::npos) << test::logTail(2);
        ::geteuid() == 0 ? (void)::chown(bin.c_str(), 0, 0) : (void)::chmod(bin.c_str(), 0755);
        EXPECT_EQ(test::snapshot(installed()), before);
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    }
}

// Hostile archives, made with python's zipfile, and a valid one.
constexpr const char* kArchives = R"PY(
import json, sys, zipfile
out, outside, ident = sys.argv[1], sys.argv[2], sys.argv[3]
def entry(zf, name, data=b'', mode=0o100644):
    info = zipfile.ZipInfo(name); info.create_system, info.external_attr = 3, mode << 16; zf.writestr(info, data)
def app(zf, top, identifier=ident):
    entry(zf, top + '/', mode=0o40755); entry(zf, top + '/bin/corvane', b'#!/bin/sh\n', 0o100755)
    entry(zf, top + '/share/corvane/app-info.json', json.dumps({'identifier': identifier, 'version': '2.0'}).encode())
def make(name, *parts):
    with zipfile.ZipFile(out + '/' + name + '.zip', 'w') as zf:
        if name not in ('subfolder', 'identifier'): app(zf, 'Corvane')
        for part in parts: part(zf)
make('valid')
make('absolute', lambda zf: entry(zf, outside + '/evil', b'x'))
make('dotdot', lambda zf: entry(zf, 'Corvane/../../evil', b'x'))
make('link-out', lambda zf: entry(zf, 'Corvane/link', outside.encode(), 0o120777), lambda zf: entry(zf, 'Corvane/link/evil', b'x'))
make('link-up', lambda zf: entry(zf, 'Corvane/up', b'../..', 0o120777), lambda zf: entry(zf, 'Corvane/up/evil', b'x'))
make('link-only', lambda zf: entry(zf, 'Corvane/share/corvane/data', b'../../..', 0o120777))
make('link-via-link', lambda zf: entry(zf, 'Corvane/1/2/3/4/5/6/a/b/c/d/e/deep', b'../' * 10 + b'..', 0o120777),
     lambda zf: entry(zf, 'Corvane/1/2/3/4/5/6/esc', b'a/b/c/d/e/deep/../../../../..', 0o120777))
make('device', lambda zf: entry(zf, 'Corvane/dev', b'', 0o020666))
make('fifo', lambda zf: entry(zf, 'Corvane/fifo', b'', 0o010644))
make('setuid', lambda zf: entry(zf, 'Corvane/bin/helper', b'x', 0o104755))
make('setgid', lambda zf: entry(zf, 'Corvane/bin/helper', b'x', 0o102755))
make('two', lambda zf: app(zf, 'Corvane2'))
make('subfolder', lambda zf: app(zf, 'outer/Corvane'))
make('identifier', lambda zf: app(zf, 'Corvane', 'com.example.Other'))
make('entries', *[lambda zf, i=i: entry(zf, 'Corvane/lib/f%d' % i, b'x') for i in range(60)])
make('bytes', lambda zf: entry(zf, 'Corvane/lib/big', bytes(3 << 20)))
make('big', lambda zf: zf.writestr(zipfile.ZipInfo('Corvane/lib/big'), bytes(3 << 20), zipfile.ZIP_DEFLATED))
open(out + '/garbage.zip', 'wb').write(b'PK\x03\x04' + bytes(100))
)PY";

// Makes those archives in `served`, through a script kept in `scratch`; `outside` is where none may write. The
// script's exit status.
int makeArchives(const std::filesystem::path& scratch, const std::filesystem::path& served,
                 const std::filesystem::path& outside) {
    test::writeFile(scratch / "archives.py", kArchives);
    return test::run("python3 " + quoted((scratch / "archives.py").string()) + " " + quoted(served.string()) + " " +
                     quoted(outside.string()) + " " + test::kIdentifier);
}

TEST_F(AppUpdateTest, RefusedArchivesAndDigestsLeaveTheAppAndEverythingOutsideUntouched) {
    test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
    const auto before = test::snapshot(installed());
    ASSERT_EQ(makeArchives(root.path(), served(), outside()), 0);
    const std::string notValid = "The downloaded update is not a valid Corvane app.";
    const std::string integrity = "The download did not pass its integrity check.";
    const std::string digest = test::sha256Of(served() / "valid.zip");
    // Over plain http an archive without a digest is never fetched. Each refusal is logged with why.
    const auto program = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    const std::string one = " (not exactly one install folder of ours)";
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> rows = {
        {"valid", " " + digest + " ", integrity, " (the archive's SHA-256 is " + digest + ", the feed gives  " + digest + " )"},
        {"valid", std::string(64, '0'), integrity, " (the archive's SHA-256 is " + digest + ", the feed gives 0000"},
        {"valid", "", "The update was not downloaded: it is offered over plain http without a digest to check it against.",
         " (plain http: " + urlOf("valid.zip") + ")"},
        {"missing", digest, "The download failed: The server answered with error 404.", ""}};
    const std::pair<const char*, std::string> refused[] = {
        {"absolute", " (an absolute entry name: " + outside().string() + "/evil)"},
        {"dotdot", " (an entry name leading out: Corvane/../../evil)"},
        {"link-out", " (a link leading out: " + outside().string() + ")"}, {"link-up", " (a link leading out: ../..)"},
        {"link-only", " (a link leading out: ../../..)"},
        {"link-via-link", " (a link climbing through another entry: a/b/c/d/e/deep/../../../../..)"},
        {"device", " (a device, FIFO or socket: Corvane/dev)"},
        {"setuid", " (set-user-ID, set-group-ID or sticky bits: Corvane/bin/helper)"},
        {"setgid", " (set-user-ID, set-group-ID or sticky bits: Corvane/bin/helper)"}, {"two", one}, {"subfolder", one},
        {"identifier", one}, {"entries", " (more entries than allowed)"}, {"bytes", " (more bytes than allowed)"},
        {"garbage", " ("}};
    for (const auto& [name, why] : refused)
        rows.emplace_back(name, test::sha256Of(served() / (std::string(name) + ".zip")), notValid, why);
    for (const auto& [name, sha256, failure, why] : rows) {
        SCOPED_TRACE(name);
        quits = 0;
        auto manager = forFeed(urlOf("feed.json"));
        manager->archiveLimits = UpdateArchive::Limits{50, 1 << 20};
        writeFeed(urlOf(name + ".zip"), sha256);
        ASSERT_TRUE(checkAndUpdate(*manager));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(failure));
        EXPECT_EQ(manager->progress(), std::nullopt);
        EXPECT_TRUE(manager->showResult());
        EXPECT_EQ(quits, 0);
        EXPECT_EQ(test::snapshot(installed()), before);
        EXPECT_TRUE(std::filesystem::is_empty(outside()));
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
        EXPECT_NE(test::logTail(2).find("update: app update to 2.0 failed: " + failure + why), std::string::npos)
            << test::logTail(2);
    }
    // This test program, in the build tree, is no install: the check says so, and the update does nothing.
    auto manager = forFeed(urlOf("feed.json"));
    manager->runningBundleOverride.reset();
    writeFeed(urlOf("valid.zip"), digest);
    manager->checkNow();
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
    EXPECT_EQ(manager->appUpdateObstacle(), "Corvane can't update itself in " + program + ": it does not run from a folder it "
              "was installed in. Install the new version the way you installed this one, or install Corvane in ~/.local, "
              "where it updates itself.");
    manager->updateApp();
    EXPECT_FALSE(manager->isBusy());
    EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    // A FIFO's mode in a zip reaches us as an ordinary file: what is unpacked is never a FIFO.
    test::TempDir unpacked;
    UpdateArchive::extract(served() / "fifo.zip", unpacked.path(), UpdateArchive::Limits{});
    EXPECT_EQ(std::filesystem::status(unpacked.path() / "Corvane/fifo").type(), std::filesystem::file_type::regular);
}

// This computer failing to write while an update unpacks (here past the file size limit, where a full disk
// fails the same writes) says what failed, in the system's words; an archive refused under that limit keeps
// its text. Either way the app stays as it was and the update leaves nothing behind.
TEST_F(AppUpdateTest, AWriteFailureWhileUnpackingSaysWhatFailedAndWhy) {
    test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
    const auto before = test::snapshot(installed());
    ASSERT_EQ(makeArchives(root.path(), served(), outside()), 0);
    // Writes past 1 MiB fail with EFBIG instead of raising SIGXFSZ. The archives are far smaller; "big" unpacks
    // to 3 MiB.
    struct sigaction ignore {}, was {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &was);
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = std::min<rlim_t>(saved.rlim_max, 1 << 20);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &saved), ::sigaction(SIGXFSZ, &was, nullptr); });
    const std::pair<const char*, std::string> rows[] = {
        {"big", "Could not save the update in " + (installed() / "lib/corvane").string() + ": " + std::strerror(EFBIG) +
                    " (cannot write Corvane/lib/big: " + std::strerror(EFBIG) + ")"},
        {"dotdot", "The downloaded update is not a valid Corvane app. (an entry name leading out: Corvane/../../evil)"}};
    for (const auto& [name, logged] : rows) {
        SCOPED_TRACE(name);
        auto manager = forFeed(urlOf("feed.json"));
        writeFeed(urlOf(std::string(name) + ".zip"), test::sha256Of(served() / (std::string(name) + ".zip")));
        ASSERT_TRUE(checkAndUpdate(*manager));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(logged.substr(0, logged.find(" ("))));
        EXPECT_EQ(quits, 0);
        EXPECT_NE(test::logTail(2).find("update: app update to 2.0 failed: " + logged), std::string::npos) << test::logTail(2);
        EXPECT_EQ(test::snapshot(installed()), before);
        EXPECT_TRUE(std::filesystem::is_empty(outside()));
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
    }
}

// A prefix that leads out of itself (a folder of it moved elsewhere and linked, once the prefix has switched to
// a version or before) or that its owner cannot enter is refused at the check, for the folder at fault, with the
// app started as the prefix's program; run by its real path, the program is in no install folder (a version is
// never taken for a plain install). Either way the update does nothing, and nothing in or outside the prefix
// changes. A share/ that leads elsewhere is no fault: the update writes nothing there.
TEST_F(AppUpdateTest, APrefixThatLeadsOutOrIsClosedIsRefusedAtTheCheckForTheFolderAtFault) {
    ASSERT_EQ(makeArchives(root.path(), served(), outside()), 0);
    writeFeed(urlOf("valid.zip"), test::sha256Of(served() / "valid.zip"));
    const std::string link = "that is a link to a place Corvane does not update.";
    const std::tuple<const char*, bool, const char*, std::string> rows[] = {
        {"lib", true, "lib", link}, {"lib/corvane", true, "lib/corvane", link}, {"lib64", true, "lib64", link},
        {"bin", false, "bin", link}, {"closed lib", false, "lib", "that folder's permissions keep its owner out."},
        {"share", false, "", ""}};
    int n = 0;
    for (const auto& [moved, switched, folder, why] : rows) {
        SCOPED_TRACE(moved);
        const auto place = std::filesystem::canonical(root.path()) / ("case" + std::to_string(++n));  // as real paths read
        const auto prefix = place / "prefix";
        test::makeInstallFolder(prefix, "1.0", "#!/bin/sh\necho old\n");
        if (moved == std::string("lib64")) {
            std::filesystem::rename(prefix / "lib", prefix / "lib64");
            std::filesystem::create_directory_symlink("lib64", prefix / "lib");
        }
        if (switched) {
            const auto scratch = VersionSwitch::versionsOf(prefix) / ".corvane-update-done";
            test::makeInstallFolder(scratch / "Corvane", "1.5", "#!/bin/sh\necho 1.5\n");
            VersionSwitch::install(scratch / "Corvane", prefix);
            std::filesystem::remove_all(scratch);
        }
        const bool closed = moved == std::string("closed lib");
        if (!closed) {
            std::filesystem::rename(prefix / moved, place / "elsewhere");
            std::filesystem::create_directory_symlink(place / "elsewhere", prefix / moved);
        }
        const auto before = test::snapshot(place);
        const auto theirs = std::filesystem::exists(place / "elsewhere") ? test::snapshot(place / "elsewhere") : before;
        // Read while open: a user who is not root cannot list it closed.
        const auto openLib = [&] { std::filesystem::permissions(prefix / "lib", std::filesystem::perms(0755)); };
        const auto reopen = qScopeGuard(openLib);
        if (closed) std::filesystem::permissions(prefix / "lib", std::filesystem::perms(0600));
        quits = 0;
        const auto checked = [&](const std::filesystem::path& program) {
            auto manager = forFeed(urlOf("feed.json"));
            manager->runningBundleOverride.reset();
            manager->runningProgram = program;
            manager->checkNow();
            EXPECT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
            return manager;
        };
        const std::string advice =
            " Install the new version the way you installed this one, or install Corvane in ~/.local, where it updates itself.";
        auto manager = checked(prefix / "bin/corvane");
        if (*folder) {
            EXPECT_EQ(manager->appUpdateObstacle(), "Corvane can't update itself in " + (prefix / folder).string() + ": " + why + advice);
            const auto real = std::filesystem::canonical(prefix / "bin/corvane");
            auto byRealPath = checked(real);
            EXPECT_EQ(byRealPath->appUpdateObstacle(),
                      closed ? manager->appUpdateObstacle()
                          : "Corvane can't update itself in " + real.parent_path().string() +
                                ": it does not run from a folder it was installed in." + advice);
            for (auto* refused : {manager.get(), byRealPath.get()}) {
                EXPECT_FALSE(refused->canUpdateApp());
                refused->updateApp();
                EXPECT_FALSE(refused->isBusy());
            }
            openLib();
            EXPECT_EQ(test::snapshot(place), before);
        } else {
            ASSERT_TRUE(manager->canUpdateApp());
            manager->updateApp();
            ASSERT_TRUE(test::pumpUntil(clock, [&] { return quits > 0 || manager->status().kind == UpdateManager::Status::Kind::failed; }));
            EXPECT_EQ(quits, 1) << manager->status().text;
            EXPECT_EQ(test::snapshot(place / "elsewhere"), theirs);
            EXPECT_TRUE(std::filesystem::is_symlink(prefix / "bin/corvane"));
        }
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    }
}

// A file system of its own mounted on `folder` for as long as this lives, with its inodes all taken once fill()
// has run: a disk that is full for every new file, folder and link. Unmounted whatever happens.
struct FullFileSystem {
    explicit FullFileSystem(std::filesystem::path at) : folder(std::move(at)) {
        std::filesystem::create_directories(folder);
        if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,nr_inodes=64,mode=0755") != 0)
            error = std::strerror(errno);
    }
    ~FullFileSystem() {
        if (error.empty() && ::umount(folder.c_str()) != 0) ::umount2(folder.c_str(), MNT_DETACH);
    }
    FullFileSystem(const FullFileSystem&) = delete;
    FullFileSystem& operator=(const FullFileSystem&) = delete;
    void fill() const {
        for (int i = 0;; ++i) {
            const int fd = ::open((folder / ("fill-" + std::to_string(i))).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) break;
            ::close(fd);
        }
    }
    std::filesystem::path folder;
    std::string error;  // why it could not be mounted
};

// The disk full when the update makes lib/corvane, or when the switch writes its link in bin/: the failure names
// that folder and the system's reason, and the prefix stays as it was with nothing left behind.
TEST_F(AppUpdateTest, AFullDiskWhileTheUpdateRunsNamesTheFolderAndTheReason) {
    ASSERT_EQ(makeArchives(root.path(), served(), outside()), 0);
    writeFeed(urlOf("valid.zip"), test::sha256Of(served() / "valid.zip"));
    const std::string full = std::strerror(ENOSPC);
    for (const bool binFull : {false, true}) {
        SCOPED_TRACE(binFull ? "bin" : "lib/corvane");
        const auto prefix = root.path() / (binFull ? "b" : "a") / "prefix";
        const FullFileSystem disk(binFull ? prefix / "bin" : prefix);
        if (!disk.error.empty()) GTEST_SKIP() << "a full file system needs a tmpfs mounted, which failed: " << disk.error;
        test::makeInstallFolder(prefix, "1.0", "#!/bin/sh\necho old\n");
        disk.fill();
        const auto before = test::snapshot(prefix);
        quits = 0;
        auto manager = forFeed(urlOf("feed.json"));
        manager->runningBundleOverride = prefix;
        ASSERT_TRUE(checkAndUpdate(*manager));
        const std::string text = binFull ? "Could not replace the app in " + (prefix / "bin").string() + ": " + full
                                         : "Could not save the update in " + (prefix / "lib/corvane").string() + ": " + full;
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(text));
        EXPECT_EQ(quits, 0);
        EXPECT_NE(test::logTail(2).find("update: app update to 2.0 failed: " + text + " (cannot make "), std::string::npos)
            << test::logTail(2);
        EXPECT_EQ(test::snapshot(prefix), before);
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    }
}

// The alert shown, and its button with this text.
std::pair<QMessageBox*, QAbstractButton*> shownAlert(const QString& text) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            for (QAbstractButton* button : box->buttons())
                if (button->text() == text) return {box, button};
    return {};
}

// The steps name the box setup page beside an https feed, and "Copy Link" puts it on the clipboard; an http
// feed offers no link, and the steps say where the page would be. One alert at a time.
TEST_F(AppUpdateTest, CopyLinkPutsTheBoxSetupPageOnTheClipboardAnHttpFeedOffersNone) {
    const auto steps = [](const std::string& page) {
        return "The box runs an older version of its software that can't update itself. Do this once; after that, box updates "
               "install from Corvane.\n\n1. Open Windows from Corvane.\n2. In Windows, open a web browser and go to:\n   " + page +
               "\n3. Download the box setup, unzip it, double-click Setup-Box.cmd, and approve the Windows prompt.\n4. The stream "
               "disconnects for about a minute while setup runs. Corvane reconnects by itself.";
    };
    const std::tuple<std::string, const char*, std::string> rows[] = {
        {"https://updates.example/corvane/stable/feed.json", "Copy Link", "https://updates.example/corvane/box/"},
        {"http://updates.example/corvane/stable/feed.json", "Done", "the box setup page on your Corvane update site (publish "
                                                                   "a Corvane update there first to create it)"}};
    for (const auto& [feed, button, page] : rows) {
        auto manager = forFeed(feed);
        auto shown = manager->showBoxSetupSteps();
        const auto [box, clicked] = shownAlert(button);
        ASSERT_NE(clicked, nullptr) << feed;
        EXPECT_EQ(box->text(), "Update the box software (one time)");
        EXPECT_EQ(box->informativeText().toStdString(), steps(page));
        EXPECT_EQ(box->buttons().size(), button == std::string("Done") ? 1 : 2);
        EXPECT_TRUE(manager->showBoxSetupSteps().isReady());  // a second request raises the alert shown
        clicked->click();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return shown.isReady(); }));
    }
    // The clipboard is served by this process: read it while the event loop runs.
    auto read = std::async(std::launch::async, [] { return test::runCommand("xclip -o -selection clipboard"); });
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return read.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(read.get().output, "https://updates.example/corvane/box/");
}

} // namespace
} // namespace corvane
