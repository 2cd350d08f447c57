// Where the app can update itself: every refusal names the folder at fault and a reason true of it, and a
// prefix whose lib links to a folder of the user's beside it (lib -> lib64) updates like any other.
#include "app/updates/InstallFolder.hpp"
#include "app/updates/VersionSwitch.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <QScopeGuard>
#include <functional>

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Another user than the one running: tests may run as root, who owns everything they make.
constexpr uid_t kOther = 65534;

TEST(InstallFolderTest, EveryRefusalNamesTheFolderAtFaultAndAReasonTrueOfIt) {
    const uid_t me = ::getuid();
    const bool root = ::geteuid() == 0;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;  // turns a plain install into the case
        uid_t user;
        std::string folder;  // relative to the install; empty: accepted
        std::string why;
    };
    const std::vector<Case> cases = {
        {"plain install without lib/corvane", [](const fs::path&) {}, me, "", ""},
        {"no lib at all", [](const fs::path& i) { fs::remove_all(i / "lib"); }, me, "", ""},
        {"another user's", [](const fs::path&) {}, kOther, "bin", "that folder belongs to another user."},
        {"bin read-only", [](const fs::path& i) { fs::permissions(i / "bin", fs::perms(0555)); }, me, "bin",
         "that folder is read-only."},
        {"bin a link", [](const fs::path& i) {
             fs::rename(i / "bin", i / "real-bin");
             fs::create_directory_symlink("real-bin", i / "bin");
         }, me, "bin", "that is a link to a place Corvane does not update."},
        {"program missing", [](const fs::path& i) { fs::remove(i / "bin/corvane"); }, me, "bin",
         "its program corvane is not there."},
        {"lib a file", [](const fs::path& i) { fs::remove_all(i / "lib"); test::writeFile(i / "lib", "x"); }, me, "lib",
         "that is not a folder."},
        {"lib a link out of the prefix", [](const fs::path& i) {
             fs::create_directories(i.parent_path() / "elsewhere");
             fs::remove_all(i / "lib");
             fs::create_directory_symlink("../elsewhere", i / "lib");
         }, me, "lib", "that is a link to a place Corvane does not update."},
        {"lib/corvane read-only", [](const fs::path& i) {
             fs::create_directories(i / "lib/corvane");
             fs::permissions(i / "lib/corvane", fs::perms(0555));
         }, me, "lib/corvane", "that folder is read-only."},
        {"lib without lib/corvane read-only", [](const fs::path& i) { fs::permissions(i / "lib", fs::perms(0555)); }, me,
         "lib", "that folder is read-only."},
        {"lib closed to its owner", [](const fs::path& i) { fs::permissions(i / "lib", fs::perms(0600)); }, me, "lib",
         "that folder's permissions keep its owner out."},
        {"lib closed to its owner, lib/corvane open", [](const fs::path& i) {
             fs::create_directories(i / "lib/corvane");
             fs::permissions(i / "lib", fs::perms(0600));
         }, me, "lib", "that folder's permissions keep its owner out."},
        {"lib -> lib64 -> a folder elsewhere", [](const fs::path& i) {
             fs::rename(i / "lib", i.parent_path() / "elsewhere");
             fs::create_directory_symlink("../elsewhere", i / "lib64");
             fs::create_directory_symlink("lib64", i / "lib");
         }, me, "lib64", "that is a link to a place Corvane does not update."},
        {"lib -> lib64 of the user's", [](const fs::path& i) {
             fs::rename(i / "lib", i / "lib64");
             fs::create_directory_symlink("lib64", i / "lib");
         }, me, "", ""},
        {"lib -> lib64 read-only", [](const fs::path& i) {
             fs::rename(i / "lib", i / "lib64");
             fs::create_directory_symlink("lib64", i / "lib");
             fs::permissions(i / "lib64", fs::perms(0555));
         }, me, "lib64", "that folder is read-only."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto install = dir.path() / "prefix";
        test::makeInstallFolder(install, "1.0", "#!/bin/sh\n");
        c.make(install);
        const auto found = InstallFolder::obstacle(install, c.user);
        if (c.folder.empty()) {
            EXPECT_EQ(found, std::nullopt) << found->text();
        } else {
            ASSERT_TRUE(found.has_value());
            EXPECT_EQ(found->text(), "Corvane can't update itself in " + (install / c.folder).string() + ": " + c.why);
        }
        // Removable again whatever the case made read-only.
        for (const char* folder : {"bin", "lib", "lib64", "lib/corvane"})
            if (fs::is_directory(install / folder)) fs::permissions(install / folder, fs::perms(0755));
    }
    EXPECT_EQ(InstallFolder::obstacle("/usr")->text(), "Corvane can't update itself in /usr/bin: that folder is the system's.");
    // Who owns what can only be changed by root.
    if (!root) GTEST_SKIP() << "the cases of files another user owns need root";
    const std::pair<const char*, std::string> owned[] = {
        {"bin/corvane", "bin: its program corvane there belongs to another user."},
        {"lib", "lib: that folder belongs to another user."}};
    for (const auto& [path, why] : owned) {
        test::TempDir dir;
        const auto install = dir.path() / "prefix";
        test::makeInstallFolder(install, "1.0", "#!/bin/sh\n");
        ASSERT_EQ(::lchown((install / path).c_str(), kOther, kOther), 0);
        EXPECT_EQ(InstallFolder::obstacle(install)->text(), "Corvane can't update itself in " + (install / why).string()) << path;
    }
    test::TempDir dir;
    const auto install = dir.path() / "prefix";
    test::makeInstallFolder(install, "1.0", "#!/bin/sh\n");
    fs::rename(install / "lib", install / "lib64");
    fs::create_directory_symlink("lib64", install / "lib");
    ASSERT_EQ(::chown((install / "lib64").c_str(), kOther, kOther), 0);
    EXPECT_EQ(InstallFolder::obstacle(install)->text(),
              "Corvane can't update itself in " + (install / "lib64").string() + ": that folder belongs to another user.");
}

// The path the app was started by names its prefix: as given with a slash, or found on PATH as a shell finds
// it; any other file than the one running (the first on PATH, or none) leaves the program's real path.
TEST(InstallFolderTest, TheStartedPathIsTheOneAShellRanWhenItIsTheRunningFile) {
    test::TempDir dir;
    const auto root = fs::canonical(dir.path());
    test::makeInstallFolder(root / "prefix", "1.0", "#!/bin/sh\n");
    const auto program = root / "prefix/bin/corvane";
    const auto real = root / "real-corvane";
    fs::rename(program, real);
    fs::create_symlink(real, program);
    test::writeFile(root / "other/corvane", "#!/bin/sh\n", 0755);
    const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    const auto restore = qScopeGuard([&] { ::setenv("PATH", saved.c_str(), 1); });
    const std::tuple<std::string, std::string, fs::path> rows[] = {
        {"corvane", "/nonexistent:" + (root / "prefix/bin").string(), program},
        {"corvane", (root / "other").string() + ":" + (root / "prefix/bin").string(), real},
        {"corvane", "/nonexistent", real},
        {program.string(), "", program},
        {(root / "other/corvane").string(), "", real},
        {"", "", real}};
    for (const auto& [argv0, path, expected] : rows) {
        ::setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(InstallFolder::startedAs(argv0, real), expected) << argv0 << " " << path;
    }
}

// lib -> lib64: the update's version goes into lib64/corvane through the link, the prefix starts it, the
// running program finds its prefix again, and the next update's tidy-up takes the one before.
TEST(InstallFolderTest, APrefixWhoseLibLinksToAFolderBesideItUpdatesAndFindsItsVersions) {
    test::TempDir dir;
    // As the running program's real path names it.
    const auto install = fs::canonical(dir.path()) / "prefix";
    test::makeInstallFolder(install, "1.0", "#!/bin/sh\n");
    fs::rename(install / "lib", install / "lib64");
    fs::create_directory_symlink("lib64", install / "lib");
    EXPECT_EQ(InstallFolder::libFolder(install), install / "lib64");
    const auto update = [&](const std::string& version) {
        const auto scratch = VersionSwitch::versionsOf(install) / ".corvane-update-done";
        test::makeInstallFolder(scratch / "Corvane", version, "#!/bin/sh\n");
        VersionSwitch::install(scratch / "Corvane", install);
        fs::remove_all(scratch);
    };
    update("2.0");
    const auto first = InstallFolder::current(install, test::kIdentifier);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->parent_path(), install / "lib/corvane");
    EXPECT_EQ(test::readWhole(install / "lib64/corvane" / first->filename() / "lib/libcorvane_engine.so.1"), "engine 2.0");
    EXPECT_TRUE(fs::is_symlink(install / "lib"));
    // The running program's real path runs through lib64.
    EXPECT_EQ(InstallFolder::running(test::kIdentifier, install / "bin/corvane"), install);
    EXPECT_EQ(InstallFolder::programToStart(test::kIdentifier, install / "bin/corvane"), install / "bin/corvane");
    EXPECT_EQ(InstallFolder::obstacle(install), std::nullopt);
    update("3.0");
    EXPECT_GE(VersionSwitch::tidy(install, test::kIdentifier), 1);
    const auto second = InstallFolder::current(install, test::kIdentifier);
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(fs::exists(install / "lib64/corvane" / first->filename()));
    EXPECT_EQ(test::readWhole(*second / "lib/libcorvane_engine.so.1"), "engine 3.0");
    // A lib that links anywhere but beside it is not followed.
    for (const char* target : {"../elsewhere", "/tmp", "lib", "."}) {
        fs::remove(install / "lib");
        fs::create_directory_symlink(target, install / "lib");
        EXPECT_EQ(InstallFolder::libFolder(install), std::nullopt) << target;
        EXPECT_EQ(InstallFolder::current(install, test::kIdentifier), std::nullopt) << target;
    }
}

} // namespace
} // namespace corvane
