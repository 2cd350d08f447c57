#include "platform/login/LoginItem.hpp"

#include "platform/core/Error.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes a recorder script at `folder`/"rec order" that stores its $0 and arguments in `record`.
fs::path makeRecorder(const fs::path& folder, const fs::path& record) {
    fs::create_directories(folder);
    const fs::path program = folder / "rec order";
    std::ofstream(program) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" << record.string() << "'\n";
    fs::permissions(program, fs::perms::owner_all);
    return program;
}

// The desktop's own tools read our entry back: the validator accepts it and GLib's key-file and shell
// rules split its command into exactly [path, "--at-login"], whatever the path holds.
TEST(LoginItemPeerTest, DesktopToolsReadTheCommandBackForAwkwardPaths) {
    test::TempDir dir;
    const std::string python =
        "import gi, sys\n"
        "gi.require_version('GLib', '2.0')\n"
        "from gi.repository import GLib\n"
        "kf = GLib.KeyFile()\n"
        "kf.load_from_file(sys.argv[1], GLib.KeyFileFlags.NONE)\n"
        "ok, argv = GLib.shell_parse_argv(kf.get_string('Desktop Entry', 'Exec').replace('%%', '%'))\n"
        "print('\\0'.join(argv), end='')\n";
    const fs::path script = dir.path() / "parse.py";
    std::ofstream(script) << python;
    const char* names[] = {"plain", "sp ace", "\"double\" 'single'", "$HOME ${x}", "`tick`", "back\\slash\\",
                           "100% %u %%", "ünï ☃"};
    for (const char* name : names) {
        const fs::path program = dir.path() / name / "corvane";
        const fs::path config = dir.path() / "config";
        LoginItem::set(true, program, config);
        const std::string entry = LoginItem::file(config).string();
        EXPECT_EQ(test::runCommand("desktop-file-validate '" + entry + "' 2>&1").status, 0) << name;
        const auto parsed = test::runCommand("/usr/bin/python3 '" + script.string() + "' '" + entry + "'");
        EXPECT_EQ(parsed.status, 0) << name;
        EXPECT_EQ(parsed.output, program.string() + std::string(1, '\0') + "--at-login") << name;
    }
}

// gio launch runs the entry as a desktop would at login (GLib cannot find programs whose path holds "%").
TEST(LoginItemPeerTest, GioLaunchRunsTheProgramWithTheLoginArgument) {
    test::TempDir dir;
    const fs::path record = dir.path() / "record";
    const fs::path program = makeRecorder(dir.path() / "we ird \"q\" 'a' $HOME `tick` back\\slash ünï", record);
    const fs::path config = dir.path() / "config";
    LoginItem::set(true, program, config);
    const fs::path entry = LoginItem::file(config);
    ASSERT_EQ(entry, config / "autostart" / "corvane.desktop");
    EXPECT_EQ(LoginItem::status(config), LoginItem::Status::enabled);

    ASSERT_EQ(test::runCommand("gio launch '" + entry.string() + "' 2>&1").status, 0);
    for (int i = 0; i < 500 && readFile(record).empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(readFile(record), program.string() + "\n--at-login\n");

    LoginItem::set(false, program, config);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(LoginItem::status(config), LoginItem::Status::notRegistered);
    EXPECT_NO_THROW(LoginItem::set(false, program, config));
}

TEST(LoginItemPeerTest, ExecQuotingAndStatusRules) {
    EXPECT_EQ(LoginItem::execLine("/opt/a b/\"$`\\%/corvane"),
              R"("/opt/a b/\\"\\$\\`\\\\%%/corvane" --at-login)");
    EXPECT_THROW(LoginItem::execLine("/tmp/new\nline"), Error);

    test::TempDir dir;
    const fs::path entry = LoginItem::file(dir.path());
    EXPECT_EQ(LoginItem::status(dir.path()), LoginItem::Status::notRegistered);
    fs::create_directories(entry.parent_path());
    const struct {
        const char* content;
        LoginItem::Status expected;
    } rows[] = {
        {"[Desktop Entry]\nExec=corvane --at-login\n", LoginItem::Status::enabled},
        {"[Desktop Entry]\nExec=corvane\nHidden=true\n", LoginItem::Status::notRegistered},
        {"[Desktop Entry]\nExec=corvane\nX-GNOME-Autostart-enabled=false\n", LoginItem::Status::notRegistered},
        {"[Other]\nExec=corvane\n", LoginItem::Status::notRegistered},
    };
    for (const auto& row : rows) {
        std::ofstream(entry, std::ios::trunc) << row.content;
        EXPECT_EQ(LoginItem::status(dir.path()), row.expected) << row.content;
    }
}

} // namespace
} // namespace corvane::platform
