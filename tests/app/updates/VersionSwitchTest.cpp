// An update killed at any step: what the desktop entry and the login item start, and what the next start
// makes of it. The switch runs in a child process killed at each step in turn.
#include "app/updates/InstallFolder.hpp"
#include "app/updates/VersionSwitch.hpp"
#include "platform/login/LoginItem.hpp"
#include "tests/app/updates/UpdateHarness.hpp"
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace corvane {
namespace {

namespace fs = std::filesystem;

bool exchanges(const fs::path& folder) {
    test::writeFile(folder / "a", "a"), test::writeFile(folder / "b", "b");
    const bool done = ::syscall(SYS_renameat2, AT_FDCWD, (folder / "a").c_str(), AT_FDCWD, (folder / "b").c_str(), RENAME_EXCHANGE) == 0;
    fs::remove(folder / "a"), fs::remove(folder / "b");
    return done;
}

// From here on this process gets EINVAL for the exchange rename, as on a file system without it; every other
// call goes through. True once a probe in `folder` sees that answer.
bool withoutExchange(const fs::path& folder) {
    static sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),  // the flags' low word
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return false;
    return !exchanges(folder) && errno == EINVAL;
}

std::set<std::string> names(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.insert(entry.path().filename());
    return out;
}

class VersionSwitchTest : public test::AppUpdateFixture {
protected:
    VersionSwitchTest() { display = false; }
    fs::path config() const { return root.path() / "config"; }
    fs::path journal() const { return root.path() / "state/update-install"; }
    fs::path desktopEntry() const { return installed() / "share/applications/corvane.desktop"; }
    fs::path out() const { return root.path() / "started"; }

    // An app whose program, however it is reached, writes "<its engine>|<its arguments>" once it has found
    // the folder it really sits in complete: its library and app-info.json of one version.
    void makeApp(const fs::path& folder, const std::string& version) {
        test::makeInstallFolder(folder, version,
            "#!/bin/sh\napp=$(dirname \"$(dirname \"$(readlink -f \"$0\")\")\")\n"
            "engine=$(cat \"$app/lib/libcorvane_engine.so.1\") || exit 1\n"
            "grep -q \"\\\"version\\\": \\\"${engine#engine }\\\"\" \"$app/share/corvane/app-info.json\" || exit 1\n"
            "echo \"$engine|$*\" > '" + out().string() + "'\n");
    }
    // A plain install as `cmake --install` leaves it, with its desktop entry, and the login item the app
    // writes for it.
    void install(const std::string& version) {
        fs::remove_all(installed());
        makeApp(installed(), version);
        test::writeFile(desktopEntry(), "[Desktop Entry]\nType=Application\nName=Corvane\nExec=" +
                                            (installed() / "bin/corvane").string() + "\nIcon=corvane\n");
        platform::LoginItem::set(true, InstallFolder::programToStart(test::kIdentifier, installed() / "bin/corvane"), config());
    }
    // What an earlier release's update left: the version in .versions/, the program a link to it, and the
    // plain install's own files gone.
    void earlierRelease(const std::string& version) {
        makeApp(installed() / ".versions/EARLIER" , version);
        fs::remove(installed() / "bin/corvane");
        fs::create_symlink("../.versions/EARLIER/bin/corvane", installed() / "bin/corvane");
        fs::remove_all(installed() / "lib");
        fs::remove_all(installed() / "share/corvane");
    }
    // An update that runs to its end, and the next start's tidy-up.
    void update(const std::string& version) {
        const auto scratch = VersionSwitch::versionsOf(installed()) / ".corvane-update-done";
        makeApp(scratch / "Corvane", version);
        VersionSwitch::install(scratch / "Corvane", installed());
        fs::remove_all(scratch);
        VersionSwitch::tidy(installed(), test::kIdentifier);
    }
    // What the Exec line of a desktop entry file starts: the line with the key file's escapes undone, run by
    // the shell, whose double quotes read the entry's quoting. "" when no complete app started.
    std::string start(const fs::path& entry) {
        fs::remove(out());
        std::istringstream lines(test::readWhole(entry));
        std::string line, exec;
        while (std::getline(lines, line))
            if (line.starts_with("Exec=")) exec = line.substr(5);
        std::string command;
        for (std::size_t i = 0; i < exec.size(); ++i) {
            if ((exec[i] == '\\' || exec[i] == '%') && i + 1 < exec.size() && exec[i + 1] == exec[i]) ++i;
            command += exec[i];
        }
        test::runCommand(command + " 2>/dev/null");
        auto text = test::readWhole(out());
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    std::pair<std::string, std::string> started() { return {start(platform::LoginItem::file(config())), start(desktopEntry())}; }
};

// Killed before, between and after the steps of a switch (0: while it unpacks, 1 to 3: before moving the
// version in, making its link, putting the link in place; 4 and 5: once it is in place), from a plain
// install and one switched to lib/corvane/ in a prefix shared with other programs, and one an earlier
// release switched to .versions/ in a folder of its own, where the file system has no exchange rename and
// where it has one: the entries always start a complete app, the old one until the link is in place and the
// new one from then on. The next start keeps that app and removes everything else the update made or
// replaced, also when it runs from the build tree and only the journal names the install folder; other
// programs' files stay as they were.
TEST_F(VersionSwitchTest, AKillAtAnyStepLeavesTheEntriesStartingACompleteAppAndTheNextStartFinishesOrRollsBack) {
    SCOPED_TRACE(exchanges(root.path()) ? "this file system exchanges" : "this file system cannot exchange");
    enum class Layout { plain, earlier, switched };
    const std::tuple<Layout, bool, const char*> layouts[] = {{Layout::plain, true, "plain, shared"},
        {Layout::earlier, false, "earlier release's"}, {Layout::switched, true, "switched before, shared"}};
    for (const bool noExchange : {true, false}) {
        for (const auto& [layout, shared, named] : layouts) {
            for (int killAt = 0; killAt <= 5; ++killAt) {
                SCOPED_TRACE(std::string(noExchange ? "without" : "with") + " the exchange, " + named + ", killed at " +
                             std::to_string(killAt));
                install("1.0");
                if (shared) test::addOtherPrograms(installed());
                if (layout == Layout::switched) update("1.5");
                if (layout == Layout::earlier) earlierRelease("1.5");
                const auto theirs = test::otherPrograms(installed());
                const std::string old = layout != Layout::plain ? "engine 1.5" : "engine 1.0";
                ASSERT_EQ(started(), std::pair(old + "|--at-login", old + "|"));
                const auto before = test::snapshot(installed());

                const pid_t child = ::fork();
                if (child == 0) {
                    if (noExchange && !withoutExchange(root.path())) ::_exit(3);
                    VersionSwitch::remember(journal(), installed());
                    const auto scratch = VersionSwitch::versionsOf(installed()) / ".corvane-update-K";
                    fs::create_directory(scratch);
                    ::flock(::open(scratch.c_str(), O_RDONLY | O_DIRECTORY), LOCK_EX);
                    makeApp(scratch / "Corvane-2.0", "2.0");
                    if (killAt == 0) ::raise(SIGKILL);
                    VersionSwitch::install(scratch / "Corvane-2.0", installed(), [&](int step) {
                        if (step == killAt) ::raise(SIGKILL);
                        return false;
                    });
                    if (killAt == 5) ::raise(SIGKILL);
                    ::_exit(4);
                }
                int status = 0;
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
                const std::string now = killAt >= 4 ? "engine 2.0" : old;
                EXPECT_EQ(started(), std::pair(now + "|--at-login", now + "|"));

                // The next start: from the build tree for a plain install, from the install folder otherwise.
                auto manager = make(AppInfo{"1.0", test::kIdentifier, "", ""});
                manager->stateFolder = journal().parent_path();
                if (layout == Layout::plain) manager->runningBundleOverride.reset();
                auto tidying = manager->tidyUp();
                ASSERT_TRUE(test::pumpUntil(clock, [&] { return tidying.isReady(); }));
                EXPECT_EQ(started(), std::pair(now + "|--at-login", now + "|"));
                if (shared) {
                    EXPECT_EQ(test::otherPrograms(installed()), theirs);
                }
                if (now == old && layout == Layout::plain) {
                    EXPECT_EQ(test::snapshot(installed()), before);
                } else if (now == old && layout == Layout::earlier) {
                    // Still the earlier release's layout, but for the lib/ the update made.
                    EXPECT_EQ(names(installed()), (std::set<std::string>{".versions", "bin", "lib", "share"}));
                    EXPECT_EQ(names(installed() / ".versions"), std::set<std::string>{"EARLIER"});
                    EXPECT_TRUE(fs::is_empty(installed() / "lib"));
                } else {
                    using Names = std::set<std::string>;
                    EXPECT_EQ(names(installed()), (shared ? Names{"bin", "lib", "share", "state"} : Names{"bin", "lib", "share"}));
                    EXPECT_EQ(names(installed() / "bin"), (shared ? Names{"corvane", "other-tool", ".corvane-link-mine"} : Names{"corvane"}));
                    EXPECT_EQ(names(installed() / "lib/corvane").size(), 1u);
                    EXPECT_FALSE(fs::exists(installed() / "share/corvane"));
                }
                EXPECT_EQ(names(apps()), std::set<std::string>{"Corvane"});
                EXPECT_FALSE(fs::exists(journal()));
                EXPECT_NE(test::logTail(3).find(" earlier version(s) or leftover(s) from " + installed().string()), std::string::npos);
            }
        }
    }
}

// Runs a tidy-up of `install` in a child process and kills it once it has removed `after` entries watched by
// `watch` (an inotify descriptor), or lets it end when it removes fewer. Answers the deletions seen.
int tidyKilledAfter(const fs::path& install, int watch, int after) {
    char events[64 * 1024];
    while (::read(watch, events, sizeof events) > 0) {}  // what an earlier child left unread
    int ended[2];
    if (::pipe2(ended, O_CLOEXEC) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ended[0]);
        VersionSwitch::tidy(install, test::kIdentifier);
        ::_exit(0);
    }
    ::close(ended[1]);
    int seen = 0;
    // The write end closes when the child ends, however it ends.
    pollfd waits[] = {{watch, POLLIN, 0}, {ended[0], POLLIN, 0}};
    while (seen < after && ::poll(waits, 2, -1) > 0) {
        if (waits[0].revents & POLLIN)
            for (ssize_t got = ::read(watch, events, sizeof events), at = 0; got > 0 && at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                seen += (event->mask & IN_DELETE) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        if (waits[1].revents & (POLLIN | POLLHUP)) break;
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ended[0]);
    return seen;
}

// A tidy-up killed at any moment while it removes a large version before and a plain install's share/corvane:
// the starts after it finish what it began, and leave the current version, which the prefix's program, the
// login item and the desktop entry start, and other programs' files as they were.
TEST_F(VersionSwitchTest, ATidyUpKilledAtAnyMomentIsFinishedByTheNextStart) {
    std::mt19937 random(20261207);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        // A plain install whose share/corvane holds many licence texts, switched to a large version 1.5 and
        // then to 2.0 as a switch leaves them (its flush to disk left out), without a start in between.
        install("1.0");
        test::addOtherPrograms(installed());
        for (int i = 0; i < 60; ++i) test::writeFile(installed() / "share/corvane/Acknowledgements" / std::to_string(i), "text");
        const auto versions = VersionSwitch::versionsOf(installed());
        for (const std::string version : {"1.5", "2.0"}) {
            const auto name = "V" + version + "-" + std::to_string(round);
            makeApp(versions / name, version);
            if (version == "1.5")
                for (const char* part : {"bin/helpers", "lib/plugins", "share/corvane/Acknowledgements"})
                    for (int i = 0; i < 100; ++i) test::writeFile(versions / name / part / std::to_string(i), std::string(512, 'x'));
            fs::create_symlink("../lib/corvane/" + name + "/bin/corvane", installed() / "bin/.corvane-link-new");
            fs::rename(installed() / "bin/.corvane-link-new", installed() / "bin/corvane");
        }
        const auto current = InstallFolder::current(installed(), test::kIdentifier);
        ASSERT_TRUE(current);
        const auto kept = test::snapshot(*current);
        const auto theirs = test::otherPrograms(installed());
        int entries = 0;
        for (const auto& entry : fs::directory_iterator(versions)) {
            if (entry.path() == *current) continue;
            for (const auto& folder : {entry.path(), installed() / "share/corvane"}) {
                ::inotify_add_watch(watch, folder.c_str(), IN_DELETE);
                for (const auto& inner : fs::recursive_directory_iterator(folder)) {
                    ++entries;
                    if (inner.is_directory() && !inner.is_symlink()) ::inotify_add_watch(watch, inner.path().c_str(), IN_DELETE);
                }
            }
        }
        ASSERT_GT(entries, 350);

        // Killed up to three times, each at a moment drawn over what is left, then a start that runs to its end.
        for (int kill = 0; kill < 3 && entries > 0; ++kill) {
            const int at = std::uniform_int_distribution<int>(0, entries)(random);
            entries -= std::max(0, tidyKilledAfter(installed(), watch, at));
        }
        VersionSwitch::tidy(installed(), test::kIdentifier);

        EXPECT_EQ(names(versions), std::set<std::string>{current->filename().string()});
        EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), current);
        EXPECT_EQ(test::snapshot(*current), kept);
        EXPECT_FALSE(fs::exists(installed() / "share/corvane"));
        EXPECT_EQ(test::otherPrograms(installed()), theirs);
        EXPECT_EQ(started(), std::pair(std::string("engine 2.0|--at-login"), std::string("engine 2.0|")));
        fs::remove_all(installed());
    }
    ::close(watch);
}

// A switch that fails at any step leaves the install folder starting the old app and the new version where
// it was; an install folder without a program is never switched.
TEST_F(VersionSwitchTest, AFailedStepLeavesTheOldAppAndTheNewVersionWhereTheyWere) {
    for (int failing = 1; failing <= 3; ++failing) {
        SCOPED_TRACE(failing);
        install("1.0");
        const auto before = test::snapshot(installed());
        const auto scratch = VersionSwitch::versionsOf(installed()) / ".corvane-update-F";
        makeApp(scratch / "Corvane", "2.0");
        const auto fresh = test::snapshot(scratch);
        EXPECT_THROW(VersionSwitch::install(scratch / "Corvane", installed(), [&](int step) { return step == failing; }), Error);
        EXPECT_EQ(test::snapshot(scratch), fresh);
        fs::remove_all(installed() / "lib/corvane");
        EXPECT_EQ(test::snapshot(installed()), before);
    }
    fs::remove(installed() / "bin/corvane");
    const auto scratch = VersionSwitch::versionsOf(installed()) / ".corvane-update-F";
    makeApp(scratch / "Corvane", "2.0");
    EXPECT_THROW(VersionSwitch::install(scratch / "Corvane", installed()), Error);
    EXPECT_TRUE(fs::exists(scratch / "Corvane/bin/corvane"));
    EXPECT_FALSE(fs::exists(installed() / "bin/corvane"));
}

// Only the link a switch writes leads to a version; a program in a version folder belongs to the prefix
// around it, and what the login item starts is that prefix's program, which every update keeps. A tidy-up
// removes in the places versions are kept only versions and unpack folders, and nothing else anywhere.
TEST_F(VersionSwitchTest, AnInstallFollowsOnlyTheLinkASwitchWritesAndItsTidyUpTakesOnlyWhatUpdatesMade) {
    install("1.0");
    EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), installed());
    EXPECT_EQ(InstallFolder::running(test::kIdentifier, installed() / "bin/corvane"), installed());
    update("2.0");
    const auto version = InstallFolder::current(installed(), test::kIdentifier);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->parent_path(), installed() / "lib/corvane");
    EXPECT_EQ(fs::canonical(installed() / "bin/corvane"), *version / "bin/corvane");
    for (const auto& program : {installed() / "bin/corvane", *version / "bin/corvane"}) {
        EXPECT_EQ(InstallFolder::running(test::kIdentifier, program), installed()) << program;
        EXPECT_EQ(InstallFolder::programToStart(test::kIdentifier, program), installed() / "bin/corvane") << program;
    }
    EXPECT_EQ(InstallFolder::current(installed(), "com.example.Other"), std::nullopt);
    // An unpack folder a running update holds stays; once let go, it goes. What else sits where versions are
    // kept is not the app's.
    const auto unpacking = installed() / "lib/corvane/.corvane-update-H";
    fs::create_directory(unpacking);
    const int held = ::open(unpacking.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::flock(held, LOCK_EX);
    test::writeFile(installed() / "lib/corvane/notes/mine.txt", "mine");
    test::writeFile(installed() / ".versions/mine.txt", "mine");
    EXPECT_EQ(VersionSwitch::tidy(installed(), test::kIdentifier), 0);
    ::close(held);
    EXPECT_EQ(VersionSwitch::tidy(installed(), test::kIdentifier), 1);
    EXPECT_FALSE(fs::exists(unpacking));
    EXPECT_EQ(test::readWhole(installed() / "lib/corvane/notes/mine.txt"), "mine");
    EXPECT_EQ(test::readWhole(installed() / ".versions/mine.txt"), "mine");
    fs::remove_all(installed() / "lib/corvane/notes"), fs::remove_all(installed() / ".versions");
    const auto self = fs::canonical("/proc/self/exe");
    EXPECT_EQ(InstallFolder::programToStart(test::kIdentifier), self);  // a build tree

    // Links other than "../lib/corvane/<name>/bin/corvane".
    const auto name = version->filename().string();
    for (const std::string& target : std::vector<std::string>{version->string() + "/bin/corvane", "../lib/corvane/" + name + "/../" + name + "/bin/corvane",
                                     "../lib/../lib/corvane/" + name + "/bin/corvane", "../lib/corvane/" + name + "/bin/../bin/corvane"}) {
        fs::remove(installed() / "bin/corvane");
        fs::create_symlink(target, installed() / "bin/corvane");
        EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), std::nullopt) << target;
    }
    // A versions folder that is a link to one elsewhere.
    fs::remove(installed() / "bin/corvane");
    fs::create_symlink("../lib/corvane/" + name + "/bin/corvane", installed() / "bin/corvane");
    fs::rename(installed() / "lib/corvane", outside() / "versions");
    fs::create_directory_symlink(outside() / "versions", installed() / "lib/corvane");
    EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), std::nullopt);
    EXPECT_THROW(VersionSwitch::versionsOf(installed()), Error);
}

// An install an earlier release switched to .versions/: only the link that release's switch wrote is
// followed, and other programs' files beside the app (a prefix shared with them, such as ~/.local) leave it
// the app's install and are never tidied away.
TEST_F(VersionSwitchTest, AnInstallFolderHoldsOnlyTheAppAndFollowsOnlyTheLinkASwitchWrites) {
    install("1.0");
    earlierRelease("1.0");
    const auto version = InstallFolder::current(installed(), test::kIdentifier);
    ASSERT_TRUE(version);
    EXPECT_EQ(*version, installed() / ".versions/EARLIER");
    EXPECT_EQ(InstallFolder::running(test::kIdentifier, installed() / "bin/corvane"), installed());
    EXPECT_EQ(InstallFolder::current(installed(), "com.example.Other"), std::nullopt);

    const std::pair<fs::path, fs::path> extras[] = {{"bin/other", "bin/other"}, {"state/Corvane/Corvane.log", "state"},
                                                    {"share/Corvane/keys", "share/Corvane"},
                                                    {"share/applications/other.desktop", "share/applications/other.desktop"},
                                                    {"lib/python3.11/site-packages/userpkg.py", "lib"}};
    for (const auto& [extra, made] : extras) {
        test::writeFile(installed() / extra, "x");
        EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), version) << extra;
        EXPECT_EQ(InstallFolder::running(test::kIdentifier, installed() / "bin/corvane"), installed()) << extra;
        EXPECT_EQ(VersionSwitch::tidy(installed(), test::kIdentifier), 0) << extra;
        EXPECT_EQ(test::readWhole(installed() / extra), "x") << extra;
        fs::remove_all(installed() / made);
    }
    ASSERT_EQ(InstallFolder::current(installed(), test::kIdentifier), version);
    // Links other than "../.versions/<name>/bin/corvane".
    const auto name = version->filename().string();
    for (const std::string& target : std::vector<std::string>{version->string() + "/bin/corvane", "../.versions/" + name + "/../" + name + "/bin/corvane",
                                     "../.versions/../.versions/" + name + "/bin/corvane", "../.versions/" + name + "/bin/../bin/corvane"}) {
        fs::remove(installed() / "bin/corvane");
        fs::create_symlink(target, installed() / "bin/corvane");
        EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), std::nullopt) << target;
    }
    // A versions folder that is a link to one elsewhere.
    fs::remove(installed() / "bin/corvane");
    fs::create_symlink("../.versions/" + name + "/bin/corvane", installed() / "bin/corvane");
    fs::rename(installed() / ".versions", outside() / "versions");
    fs::create_directory_symlink(outside() / "versions", installed() / ".versions");
    EXPECT_EQ(InstallFolder::current(installed(), test::kIdentifier), std::nullopt);
}

} // namespace
} // namespace corvane
