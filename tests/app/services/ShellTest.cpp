#include "app/services/Shell.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>

namespace corvane {
namespace {

using Lines = std::vector<std::string>;

ProcessResult sh(const std::string& script, double timeout = 30) { return Shell::run("/bin/sh", {"-c", script}, timeout); }

TEST(ShellRun, StreamsStatusLaunchFailureAndRepairedText) {
    auto result = sh("echo out; echo err >&2; exit 3");
    EXPECT_EQ(std::tie(result.status, result.stdout, result.stderr, result.timedOut),
              std::tuple(3, "out\n", "err\n", false));
    EXPECT_EQ(sh("kill -9 $$").status, 9);
    result = sh("printf 'a\\377b'; printf '\\300' >&2");
    EXPECT_EQ(result.stdout, "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(result.stderr, "\xEF\xBF\xBD");
    result = Shell::run("/nonexistent/corvane-tool", {"-x"}, 5);
    EXPECT_EQ(result.status, -1);
    EXPECT_NE(result.stderr.find("/nonexistent/corvane-tool"), std::string::npos) << result.stderr;
    EXPECT_FALSE(result.timedOut);
}

TEST(ShellRun, AChildReapedElsewhereIsNoSuccessAndAMegabyteOnEachPipeIsRead) {
    // With SIGCHLD ignored the kernel reaps children itself and their status is gone.
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &previous);
    const auto result = sh("echo out; exit 3");
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.stdout, "out\n");
    EXPECT_NE(result.stderr.find("could not be read"), std::string::npos) << result.stderr;
    // All of standard error first: a reader waiting for standard output to end would stall the child.
    const auto big = sh("head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o");
    EXPECT_EQ(big.status, 0);
    ASSERT_EQ(big.stdout.size(), 1048576u);
    ASSERT_EQ(big.stderr.size(), 1048576u);
    EXPECT_EQ(big.stdout.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(big.stderr.find_first_not_of('e'), std::string::npos);
}

TEST(ShellTimeout, EndsStubbornChildrenAndNeverReadsAsSuccess) {
    // A shell and a background sleep both ignoring SIGTERM and holding the pipes (only SIGKILL to the group
    // ends them); a grandchild keeping standard output open after its parent is done; a child ended by SIGTERM.
    const struct { const char* script; double timeout; const char* out; int status; } rows[] = {
        {"trap '' TERM; sleep 60 & echo started; sleep 60; wait", 0.5, "started\n", -1},
        {"sleep 60 & echo parent done", 0.5, "parent done\n", -1},
        {"trap 'exit 0' TERM; while :; do sleep 0.05; done", 0.3, "", 124},
    };
    for (const auto& row : rows) {
        const auto result = sh(row.script, row.timeout);
        EXPECT_TRUE(result.timedOut) << row.script;
        EXPECT_EQ(result.stdout, row.out);
        EXPECT_TRUE(row.status < 0 ? result.status != 0 : result.status == row.status) << result.status;
    }
    // A stop ends the child as its time-out would.
    std::stop_source stop;
    stop.request_stop();
    const auto result = Shell::run("/bin/sleep", {"60"}, 120, stop.get_token());
    EXPECT_TRUE(result.timedOut);
    EXPECT_NE(result.status, 0);
}

// A child that ended while a grandchild in a session of its own still holds the pipes stays unreaped until
// the run is over: its pid (the id of the group a time-out signals) cannot be another program's meanwhile.
TEST(ShellTimeout, AnEndedChildKeepsItsPidWhileItsPipesAreHeld) {
    const auto result = sh("setsid sh -c 'until [ ! -e /proc/$1 ] || [ \"$(cut -d\" \" -f3 /proc/$1/stat)\" = Z ]; do "
                           "sleep 0.01; done; [ -e /proc/$1 ] && echo zombie || echo gone' - $$ & exit 0");
    EXPECT_EQ(std::tie(result.status, result.stdout, result.timedOut), std::tuple(0, "zombie\n", false)) << result.stderr;
}

TEST(ShellStreaming, MergesStreamsLineByLineAndNeverCutsACharacter) {
    Lines lines;
    const auto collect = [&](const std::string& line) { lines.push_back(line); };
    auto result = Shell::runStreaming("/bin/sh", {"-c", "echo out; echo err >&2; printf '\\nx\\r\\nb'"}, 10, collect);
    EXPECT_EQ(lines, (Lines{"out", "err", "", "x\r", "b"}));
    EXPECT_EQ(result.stdout, "out\nerr\n\nx\r\nb");
    EXPECT_EQ(result.stderr, "");
    lines.clear();
    Shell::runStreaming("/bin/sh", {"-c", "printf '\\342\\202'; sleep 0.1; printf '\\254\\n'"}, 10, collect);
    EXPECT_EQ(lines, (Lines{"\xE2\x82\xAC"}));
    lines.clear();
    result = Shell::runStreaming("/nonexistent/corvane-tool", {}, 5, collect);
    EXPECT_EQ(result.status, -1);
    EXPECT_FALSE(result.stderr.empty());
    EXPECT_TRUE(lines.empty());
}

TEST(ShellAdmin, RunsThroughShAndReportsCancelAndFailure) {
    test::TempDir dir;
    // A stand-in for pkexec: records its arguments and runs them, or answers as a dismissed dialog.
    const auto pkexec = dir.path() / "pkexec";
    test::writeScript(pkexec, "printf '%s\\n' \"$@\" > '" + (dir.path() / "args").string() + "'\nif [ -e '" +
                                  (dir.path() / "dismiss").string() + "' ]; then exit 126; fi\nexec \"$@\"\n");
    const auto out = dir.path() / "out";
    const std::string command = "printf '%s' \"quote\\\" back\\\\slash $((1+1))\" > '" + out.string() + "'";
    Shell::runAsAdmin(command, "Corvane needs to set up the Thunderbolt connection to your box.", pkexec.string());
    const std::string args = test::readWhole(dir.path() / "args");
    EXPECT_TRUE(args.starts_with("/bin/sh\n-c\n")) << args;
    EXPECT_TRUE(args.ends_with("\nsh\n" + command + "\n")) << args;
    EXPECT_EQ(test::readWhole(out), "quote\" back\\slash 2");
    const auto failure = [&](const std::string& script) {
        return test::failureOf<Shell::AdminError>([&] { Shell::runAsAdmin(script, "prompt", pkexec.string()); });
    };
    // Callers tell a dismissed prompt from a failed step by the error's kind.
    const auto kindOf = [&](const std::string& script) {
        const auto error = test::errorOf<Shell::AdminError>([&] { Shell::runAsAdmin(script, "prompt", pkexec.string()); });
        return error ? std::optional(error->kind) : std::nullopt;
    };
    std::ofstream(dir.path() / "dismiss") << "";
    EXPECT_EQ(failure("true"), "The password prompt was cancelled.");
    EXPECT_EQ(kindOf("true"), Shell::AdminError::Kind::cancelled);
    std::filesystem::remove(dir.path() / "dismiss");
    // The command's own 126 is a failure, not a dismissed dialog.
    EXPECT_EQ(failure("echo denied >&2; exit 126"), "The setup step failed: denied");
    EXPECT_EQ(kindOf("echo denied >&2; exit 126"), Shell::AdminError::Kind::failed);
    EXPECT_EQ(failure("echo '  nmcli: no such connection  ' >&2; exit 10"), "The setup step failed: nmcli: no such connection");
    EXPECT_THROW(Shell::runAsAdmin("true", "prompt", (dir.path() / "missing").string()), Shell::AdminError);
}

} // namespace
} // namespace corvane
