#include "platform/login/LoginItem.hpp"
#include "platform/core/Error.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <fstream>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;

// The entry desktops read at login, byte for byte: the path is one quoted word whatever it holds, with the
// key file's escapes ("\\" for a backslash, "%%" for a percent) over the Exec quoting.
TEST(LoginItemTest, WritesThePinnedAutostartEntryAndRemovesIt) {
    test::TempDir dir;
    const fs::path config = dir.path() / "config";
    LoginItem::set(true, "/opt/a b/\"$`\\%/corvane", config);
    const fs::path entry = LoginItem::file(config);
    EXPECT_EQ(entry, config / "autostart" / "corvane.desktop");
    EXPECT_EQ(test::readWhole(entry), "[Desktop Entry]\n"
                                      "Type=Application\n"
                                      "Name=Corvane\n"
                                      "Comment=Shows the box's Windows desktop\n"
                                      "Icon=corvane\n"
                                      R"(Exec="/opt/a b/\\"\\$\\`\\\\%%/corvane" --at-login)" "\n"
                                      "Terminal=false\n"
                                      "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(LoginItem::status(config), LoginItem::Status::enabled);
    EXPECT_THROW(LoginItem::set(true, "/tmp/new\nline", config), Error);
    LoginItem::set(false, "/opt/corvane", config);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(LoginItem::status(config), LoginItem::Status::notRegistered);
    EXPECT_NO_THROW(LoginItem::set(false, "/opt/corvane", config));
    // Entries written by hand or switched off by the desktop's own settings.
    fs::create_directories(entry.parent_path());
    const struct { const char* content; LoginItem::Status expected; } rows[] = {
        {"[Desktop Entry]\nExec=corvane --at-login\n", LoginItem::Status::enabled},
        {"[Desktop Entry]\nExec=corvane\nHidden=true\n", LoginItem::Status::notRegistered},
        {"[Desktop Entry]\nExec=corvane\nX-GNOME-Autostart-enabled=false\n", LoginItem::Status::notRegistered},
        {"[Other]\nExec=corvane\n", LoginItem::Status::notRegistered},
    };
    for (const auto& row : rows) {
        std::ofstream(entry, std::ios::trunc) << row.content;
        EXPECT_EQ(LoginItem::status(config), row.expected) << row.content;
    }
}

} // namespace
} // namespace corvane::platform
