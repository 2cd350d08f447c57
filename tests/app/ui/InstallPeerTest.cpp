// The tree `cmake --install` lays out: a desktop entry the desktop's menu accepts, the app icon in the
// hicolor theme, and acknowledgements whose every row has its text; the login item's entry passes the
// validator silently.
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/MainWindow.hpp"
#include "platform/login/LoginItem.hpp"
#include "tests/app/ui/AcknowledgementsCheck.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <filesystem>

namespace corvane {
namespace {

namespace fs = std::filesystem;

class InstallTest : public test::UiFixture {};

TEST_F(InstallTest, DesktopEntryIconsAndAcknowledgementsOfAnInstalledTree) {
    const fs::path prefix = dir.path() / "prefix";
    const auto install = test::runCommand("cmake --install '" CORVANE_BUILD_DIR "' --prefix '" + prefix.string() + "' 2>&1");
    ASSERT_EQ(install.status, 0) << install.output;

    // A desktop entry the desktop accepts, naming the app and its icon.
    const fs::path entry = prefix / "share/applications/corvane.desktop";
    const auto valid = test::runCommand("desktop-file-validate '" + entry.string() + "' 2>&1");
    EXPECT_EQ(std::pair(valid.status, valid.output), std::pair(0, std::string()));
    const std::string text = test::readWhole(entry);
    EXPECT_NE(text.find("\nIcon=corvane\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=" + (prefix / "bin/corvane").string() + "\n"), std::string::npos) << text;
    for (const char* size : {"16x16", "22x22", "24x24", "32x32", "48x48", "64x64", "128x128", "256x256"})
        EXPECT_GT(fs::file_size(prefix / "share/icons/hicolor" / size / "apps/corvane.png"), 100u) << size;
    EXPECT_TRUE(fs::exists(prefix / "share/icons/hicolor/scalable/apps/corvane.svg"));

    Acknowledgements::folderOverride = prefix / "share/corvane/Acknowledgements";
    const auto rows = Acknowledgements::components();
    EXPECT_GE(rows.size(), 10u);
    for (const auto& row : rows)
        EXPECT_NE(Acknowledgements::licence(Acknowledgements::folder() / row.file), Acknowledgements::missingLicence) << row.name;
    for (const auto& row : Acknowledgements::boxComponents)
        if (!row.file.empty()) { EXPECT_NE(Acknowledgements::licence(Acknowledgements::folder() / "box" / row.file), Acknowledgements::missingLicence); }
    Acknowledgements::folderOverride.reset();

    MainWindow window(*box);
    EXPECT_FALSE(window.windowIcon().isNull());
}

// The installed rows carry their licences whole as the build tree's do, and the folder is the same bytes
// when written again from the same program and packages.
TEST_F(InstallTest, InstalledAcknowledgementsCarryWholeLicencesAndAreWrittenAlike) {
    const fs::path prefix = dir.path() / "prefix", again = dir.path() / "again";
    const auto install = test::runCommand("cmake --install '" CORVANE_BUILD_DIR "' --prefix '" + prefix.string() + "' 2>&1");
    ASSERT_EQ(install.status, 0) << install.output;
    const fs::path installed = prefix / "share/corvane/Acknowledgements";
    Acknowledgements::folderOverride = installed;
    EXPECT_GE(Acknowledgements::components().size(), 10u);
    EXPECT_EQ(test::rowsShortOfTheirLicences(installed, {{"FFmpeg ", {"LGPL-2.1", "GPL-2", "GPL-3"}},
                                                         {"SDL ", {"LGPL-2.1"}}, {"OpenSSL ", {"Apache-2.0"}}}), "");
    Acknowledgements::folderOverride.reset();

    // Another hash seed, so no order may come from hashing.
    const auto written = test::runCommand("PYTHONHASHSEED=7 " CORVANE_ACK_COMMAND " --out '" + again.string() + "' 2>&1");
    ASSERT_EQ(written.status, 0) << written.output;
    const auto diff = test::runCommand("diff -r '" + installed.string() + "' '" + again.string() + "' 2>&1 | head -20");
    EXPECT_EQ(diff.output, "");
}

// The login item's entry for the installed program: the validator takes it without a word.
TEST_F(InstallTest, TheLoginItemsEntryPassesTheValidatorSilently) {
    platform::LoginItem::set(true, dir.path() / "prefix/bin/corvane", dir.path() / "config");
    const auto valid = test::runCommand("desktop-file-validate '" + platform::LoginItem::file(dir.path() / "config").string() + "' 2>&1");
    EXPECT_EQ(valid.status, 0);
    EXPECT_EQ(valid.output, "");
}

} // namespace
} // namespace corvane
