#include "tests/app/updates/AppUpdateFixture.hpp"
#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

using Kind = UpdateManager::Status::Kind;
using Source = UpdateManager::AppUpdate::Source;

constexpr const char* kNotValid = "The downloaded update is not a valid Corvane app.";

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Zips `top` inside `stage` with the given tool ("python3 -m zipfile -c" keeps modes as bsdtar does).
int zip(const char* tool, const std::filesystem::path& stage, const std::filesystem::path& archive) {
    return test::run("cd " + quoted(stage.string()) + " && " + tool + " " + quoted(archive.string()) + " Corvane-2.0");
}

class AppUpdateTest : public test::AppUpdateFixture {
protected:
    std::string script(const char* text) {
        const auto path = root.path() / ("script" + std::to_string(++scripts) + ".py");
        test::writeFile(path, text);
        return path.string();
    }
    int scripts = 0;
    // A new version whose program records, when it runs, whether the old process was still there.
    void stageNewVersion(const std::filesystem::path& stage) {
        const auto marker = root.path() / "started";
        test::makeInstallFolder(stage / "Corvane-2.0", "2.0",
                                // Ended means gone or a zombie (its parent may not have reaped it yet).
                                "#!/bin/sh\nstate=$(awk '{print $3}' /proc/" + std::to_string(standIn.pid) +
                                    "/stat 2>/dev/null)\nif [ -n \"$state\" ] && [ \"$state\" != Z ]; then echo early > " +
                                    quoted(marker.string()) + "; else echo after > " + quoted(marker.string()) + "; fi\n");
    }
};

TEST_F(AppUpdateTest, FeedsFromTheServerAreReadWhateverTheirStatusAndFallBackToTheSourceFolder) {
    test::TempDir source;
    test::writeFile(source.path() / "VERSION", "1.9.1\n");
    test::writeFile(source.path() / "CHANGELOG.md", "## 1.9.1\n- from source\n");
    const std::string feed = "{\"version\": \"1.10\", \"url\": \"https://127.0.0.1/c.zip\", \"notes\": \"N\", \"sha256\": \"AB\"}";
    test::writeFile(served() / "newer.json", feed);
    test::writeFile(served() / "same.json", "{\"version\": \"1.9\", \"url\": \"https://127.0.0.1/c.zip\"}");
    test::writeFile(served() / "page.html", "<html><body>Not here</body></html>");
    test::writeFile(served() / "file.json", "{\"version\": \"3\", \"url\": \"file:///etc/passwd\"}");
    test::writeFile(served() / "nourl.json", "{\"version\": \"3\"}");
    const UpdateManager::AppUpdate fromFeed{"1.10", "N", {Source::Kind::download, "https://127.0.0.1/c.zip", "AB"}};
    const UpdateManager::AppUpdate fromSource{"1.9.1", "- from source", {Source::Kind::sourceFolder, source.path().string(), {}}};
    const std::pair<std::string, UpdateManager::AppUpdate> rows[] = {
        {"newer.json", fromFeed},    {"500/newer.json", fromFeed}, {"same.json", fromSource},
        {"page.html", fromSource},   {"file.json", fromSource},    {"nourl.json", fromSource},
        {"missing.json", fromSource},
    };
    for (const auto& [name, expected] : rows) {
        auto manager = make(AppInfo{"1.9", test::kIdentifier, urlOf(name), source.path().string()});
        manager->checkNow();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return !manager->isBusy(); }));
        EXPECT_EQ(manager->appUpdate(), expected) << name;
    }
}

TEST_F(AppUpdateTest, ADownloadedUpdateIsCheckedUnpackedSwappedInAndStartedAfterQuitting) {
    const std::pair<const char*, const char*> zippers[] = {{"python", "python3 -m zipfile -c"}, {"bsdtar", "bsdtar -a -cf"}};
    for (const auto& [zipper, tool] : zippers) {
        SCOPED_TRACE(zipper);
        recorder = test::Recorder{};
        std::filesystem::remove_all(installed());
        std::filesystem::remove(root.path() / "started");
        test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
        test::TempDir stage;
        auto manager = forFeed();
        stageNewVersion(stage.path());
        const auto archive = served() / (std::string(zipper) + ".zip");
        ASSERT_EQ(zip(tool, stage.path(), archive), 0);
        const auto expected = test::snapshot(stage.path() / "Corvane-2.0");
        auto digest = test::sha256Of(archive);
        std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
        writeFeed("halves/" + archive.filename().string(), digest);
        ASSERT_TRUE(checkAndUpdate(*manager));
        ASSERT_EQ(quits, 1) << manager->status().text;
        EXPECT_EQ(test::snapshot(installed()), expected);
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
        EXPECT_TRUE(recorder.saw("updating: Downloading Corvane 2.0..."));
        EXPECT_TRUE(recorder.saw("updating: Installing the update..."));
        EXPECT_EQ(manager->status(), UpdateManager::Status::updating("Restarting Corvane..."));
        ASSERT_GE(recorder.progress.size(), 4u);
        EXPECT_EQ(recorder.progress[1], 0.0);
        EXPECT_TRUE(std::is_sorted(recorder.progress.begin() + 1, recorder.progress.end()));
        // Half the archive shows as 0.425 (an odd size is a byte short of half).
        EXPECT_NE(std::find_if(recorder.progress.begin(), recorder.progress.end(),
                               [](const std::optional<double>& p) { return p && std::abs(*p - 0.425) < 1e-3; }),
                  recorder.progress.end())
            << ::testing::PrintToString(recorder.progress);
        EXPECT_EQ(recorder.progress[recorder.progress.size() - 2], 0.9) << ::testing::PrintToString(recorder.progress);
        EXPECT_EQ(recorder.progress.back(), 1.0);
        // The new program runs only once the old process has gone: not while it lingers after quitting.
        QThread::msleep(300);
        EXPECT_FALSE(std::filesystem::exists(root.path() / "started"));
        standIn.end();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return std::filesystem::exists(root.path() / "started"); }));
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return test::readFile(root.path() / "started") == "after\n"; }));
        quits = 0;
    }
}

TEST_F(AppUpdateTest, ADigestThatDoesNotMatchLeavesTheAppAlone) {
    test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
    const auto before = test::snapshot(installed());
    test::TempDir stage;
    stageNewVersion(stage.path());
    ASSERT_EQ(zip("python3 -m zipfile -c", stage.path(), served() / "u.zip"), 0);
    const std::string digest = test::sha256Of(served() / "u.zip");
    for (const auto& bad : {" " + digest + " ", std::string(64, '0'), std::string()}) {
        auto manager = forFeed();
        // Over plain http an archive without a digest is never installed.
        writeFeed("u.zip", bad);
        ASSERT_TRUE(checkAndUpdate(*manager));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed("The download did not pass its integrity check."));
        EXPECT_EQ(manager->progress(), std::nullopt);
        EXPECT_TRUE(manager->showResult());
        EXPECT_EQ(quits, 0);
        EXPECT_EQ(test::snapshot(installed()), before);
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    }
}

// Hostile archives, made with python's zipfile.
constexpr const char* kHostile = R"PY(
import json, sys, zipfile
out, outside, ident = sys.argv[1], sys.argv[2], sys.argv[3]
def entry(zf, name, data=b'', mode=0o100644):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = mode << 16
    zf.writestr(info, data)
def app(zf, top, identifier=ident):
    entry(zf, top + '/', mode=0o40755)
    entry(zf, top + '/bin/corvane', b'#!/bin/sh\n', 0o100755)
    entry(zf, top + '/share/corvane/app-info.json', json.dumps({'identifier': identifier, 'version': '2.0'}).encode())
def make(name, *parts):
    with zipfile.ZipFile(out + '/' + name + '.zip', 'w') as zf:
        app(zf, 'Corvane') if name not in ('subfolder', 'identifier') else None
        for part in parts:
            part(zf)
make('absolute', lambda zf: entry(zf, outside + '/evil', b'x'))
make('dotdot', lambda zf: entry(zf, 'Corvane/../../evil', b'x'))
make('link-out', lambda zf: entry(zf, 'Corvane/link', outside.encode(), 0o120777),
     lambda zf: entry(zf, 'Corvane/link/evil', b'x'))
make('link-up', lambda zf: entry(zf, 'Corvane/up', b'../..', 0o120777), lambda zf: entry(zf, 'Corvane/up/evil', b'x'))
make('link-only', lambda zf: entry(zf, 'Corvane/share/corvane/data', b'../../..', 0o120777))
make('device', lambda zf: entry(zf, 'Corvane/dev', b'', 0o020666))
make('fifo', lambda zf: entry(zf, 'Corvane/fifo', b'', 0o010644))
make('setuid', lambda zf: entry(zf, 'Corvane/bin/helper', b'x', 0o104755))
make('setgid', lambda zf: entry(zf, 'Corvane/bin/helper', b'x', 0o102755))
make('two', lambda zf: app(zf, 'Corvane2'))
make('subfolder', lambda zf: app(zf, 'outer/Corvane'))
make('identifier', lambda zf: app(zf, 'Corvane', 'com.example.Other'))
make('entries', *[lambda zf, i=i: entry(zf, 'Corvane/lib/f%d' % i, b'x') for i in range(60)])
make('bytes', lambda zf: entry(zf, 'Corvane/lib/big', bytes(3 << 20)))
make('garbage', lambda zf: None)
open(out + '/garbage.zip', 'wb').write(b'PK\x03\x04' + bytes(100))
)PY";

TEST_F(AppUpdateTest, HostileArchivesAreRefusedWithNothingWrittenOutsideAndTheAppUntouched) {
    test::makeInstallFolder(installed(), "1.0", "#!/bin/sh\necho old\n");
    const auto before = test::snapshot(installed());
    ASSERT_EQ(test::run("python3 " + quoted(script(kHostile)) + " " + quoted(served().string()) + " " +
                        quoted(outside().string()) + " " + test::kIdentifier),
              0);
    for (const char* name : {"absolute", "dotdot", "link-out", "link-up", "link-only", "device", "setuid", "setgid", "two",
                             "subfolder", "identifier", "entries", "bytes", "garbage"}) {
        SCOPED_TRACE(name);
        quits = 0;
        const std::string archive = std::string(name) + ".zip";
        auto manager = forFeed();
        manager->archiveLimits = UpdateArchive::Limits{50, 1 << 20};
        writeFeed(archive, test::sha256Of(served() / archive));
        ASSERT_TRUE(checkAndUpdate(*manager));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(kNotValid));
        EXPECT_EQ(quits, 0);
        EXPECT_EQ(test::snapshot(installed()), before);
        EXPECT_TRUE(std::filesystem::is_empty(outside()));
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(apps()), {}), 1);
        EXPECT_FALSE(std::filesystem::exists(root.path() / "evil"));
        EXPECT_FALSE(std::filesystem::exists(apps() / "evil"));
    }
    // A FIFO's mode in a zip reaches us as an ordinary file: what is unpacked is never a FIFO.
    test::TempDir unpacked;
    UpdateArchive::extract(served() / "fifo.zip", unpacked.path(), UpdateArchive::Limits{});
    EXPECT_EQ(std::filesystem::status(unpacked.path() / "Corvane/fifo").type(), std::filesystem::file_type::regular);
}

TEST_F(AppUpdateTest, AnAppOutsideAnInstallFolderIsNeverDownloadedFor) {
    auto manager = forFeed();
    manager->runningBundleOverride.reset();  // this test program lives in the build tree
    writeFeed("never.zip", std::string(64, 'a'));
    ASSERT_TRUE(checkAndUpdate(*manager));
    const auto program = std::filesystem::canonical("/proc/self/exe");
    EXPECT_EQ(manager->status(),
              UpdateManager::Status::failed("Could not replace the app in " + program.parent_path().string() + "."));
    EXPECT_TRUE(std::filesystem::is_empty(temporary()));
}

} // namespace
} // namespace corvane
