#include "tests/app/updates/UpdateHarness.hpp"

namespace corvane {
namespace {

constexpr const char* kBuildFailed = "The build failed. Details are in build.log in the Corvane folder.";

class BuildFromSourceTest : public test::AppUpdateFixture {
protected:
    BuildFromSourceTest() { display = false; }
    std::filesystem::path source() const { return root.path() / "corvane"; }
    // An install folder whose program writes `mark` into the marker file.
    void builtApp(const std::filesystem::path& folder, const std::string& mark) {
        test::makeInstallFolder(folder, "2.0", "#!/bin/sh\necho " + mark + " > '" + (root.path() / "started").string() + "'\n");
    }
    // Runs the update the source folder offers with this build script; true once it has ended.
    bool build(const std::string& script, double limit = UpdateManager::kBuildSeconds) {
        test::writeFile(source() / "VERSION", "2.0\n");
        test::writeFile(source() / "build.sh", script);
        recorder = test::Recorder{};
        quits = 0;
        manager = make(AppInfo{"1.0", test::kIdentifier, "", source().string()});
        manager->buildTimeLimit = limit;
        return checkAndUpdate(*manager);
    }
    std::unique_ptr<UpdateManager> manager;
};

TEST_F(BuildFromSourceTest, CountersBecomeProgressAndTheLastBuiltLineIsStarted) {
    builtApp(source() / "out/first", "first");
    builtApp(source() / "out/Corvane", "second");
    ASSERT_TRUE(build("echo '==> Compiling'\necho '[12/48] a.o'\necho '[nan/1] odd'\necho '[48/48] link'\n"
                      "echo '[60/48] again' >&2\necho 'Built: " + (source() / "out/first").string() + "'\n"
                      "echo 'Built: " + (source() / "out/Corvane").string() + "'\n"));
    ASSERT_EQ(quits, 1) << manager->status().text;
    const std::vector<double> expected = {0.0, 0.03, 0.25, 0.85, 1.0};
    ASSERT_EQ(recorder.progress.size(), expected.size() + 1) << ::testing::PrintToString(recorder.progress);
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(recorder.progress[i + 1].value_or(-1), expected[i], 1e-9);
    EXPECT_TRUE(recorder.saw("updating: Building Corvane 2.0. This takes about a minute."));
    EXPECT_EQ(manager->status(), UpdateManager::Status::updating("Restarting Corvane..."));
    // The log sits beside the source folder, with both streams.
    const auto log = test::readWhole(root.path() / "build.log");
    EXPECT_NE(log.find("[12/48] a.o\n"), std::string::npos);
    EXPECT_NE(log.find("[60/48] again\n"), std::string::npos);
    standIn.end();
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return test::readWhole(root.path() / "started") == "second\n"; }));
}

TEST_F(BuildFromSourceTest, AnyDoubtAboutTheBuildEndsInTheBuildFailure) {
    builtApp(outside() / "Corvane", "elsewhere");
    builtApp(source() / "out/Other", "other");
    test::writeFile(source() / "out/Other/share/corvane/app-info.json", "{\"identifier\": \"com.example.Other\"}");
    std::filesystem::create_directories(source() / "out/Plain");
    const std::pair<const char*, std::string> rows[] = {
        {"exit status", "echo 'Built: " + source().string() + "'\nexit 1\n"},
        {"no result line", "echo '[1/1] done'\n"},
        {"no space after the colon", "echo 'Built:" + (source() / "out/Other").string() + "'\n"},
        {"outside the source folder", "echo 'Built: " + (outside() / "Corvane").string() + "'\n"},
        {"another identifier", "echo 'Built: " + (source() / "out/Other").string() + "'\n"},
        {"not an install folder", "echo 'Built: " + (source() / "out/Plain").string() + "'\n"},
        {"the source folder itself", "echo 'Built: " + source().string() + "'\n"},
        {"over the time limit", "echo '[1/2] slow'\nsleep 30\n"},
    };
    for (const auto& [name, script] : rows) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(build(script, 1));
        EXPECT_EQ(manager->status(), UpdateManager::Status::failed(kBuildFailed));
        EXPECT_EQ(manager->progress(), std::nullopt);
        EXPECT_EQ(quits, 0);
        EXPECT_TRUE(std::filesystem::exists(root.path() / "build.log"));
    }
    EXPECT_FALSE(std::filesystem::exists(root.path() / "started"));
}

} // namespace
} // namespace corvane
