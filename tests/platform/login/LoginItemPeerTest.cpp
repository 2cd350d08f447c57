#include "platform/login/LoginItem.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <fstream>
#include <thread>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

// The desktop's own tools read our entry back: the validator accepts it, GLib's key-file and shell rules
// split its command into exactly [path, "--at-login"], and gio launch runs it, whatever the path holds.
TEST(LoginItemPeerTest, DesktopToolsReadAndRunTheEntryForAwkwardPaths) {
    test::TempDir dir;
    const fs::path script = dir.path() / "parse.py";
    std::ofstream(script) << "import gi, sys\ngi.require_version('GLib', '2.0')\nfrom gi.repository import GLib\n"
                             "kf = GLib.KeyFile()\nkf.load_from_file(sys.argv[1], GLib.KeyFileFlags.NONE)\n"
                             "ok, argv = GLib.shell_parse_argv(kf.get_string('Desktop Entry', 'Exec').replace('%%', '%'))\n"
                             "print('\\0'.join(argv), end='')\n";
    const char* names[] = {"sp ace", "\"double\" 'single'", "$HOME ${x}", "`tick`", "back\\slash\\", "100% %u %%",
                           "ünï ☃"};
    const fs::path config = dir.path() / "config";
    for (const char* name : names) {
        const fs::path program = dir.path() / name / "corvane";
        LoginItem::set(true, program, config);
        const std::string entry = LoginItem::file(config).string();
        EXPECT_EQ(test::runCommand("desktop-file-validate '" + entry + "' 2>&1").status, 0) << name;
        const auto parsed = test::runCommand("/usr/bin/python3 '" + script.string() + "' '" + entry + "'");
        EXPECT_EQ(parsed.output, program.string() + std::string(1, '\0') + "--at-login") << name;
    }
    // GLib cannot find programs whose path holds "%", so the launched one avoids it.
    const fs::path record = dir.path() / "record";
    const fs::path program = dir.path() / "we ird \"q\" 'a' $HOME `tick` back\\slash ünï" / "rec order";
    fs::create_directories(program.parent_path());
    test::writeScript(program, "printf '%s\\n' \"$0\" \"$@\" > '" + record.string() + "'\n");
    LoginItem::set(true, program, config);
    ASSERT_EQ(test::runCommand("gio launch '" + LoginItem::file(config).string() + "' 2>&1").status, 0);
    for (int i = 0; i < 500 && test::readWhole(record).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(test::readWhole(record), program.string() + "\n--at-login\n");
}

} // namespace
} // namespace corvane::platform
