#include "app/updates/FolderSwap.hpp"
#include "tests/app/updates/UpdateHarness.hpp"

namespace corvane {
namespace {

TEST(FolderSwapTest, TheOldFolderStaysInPlaceWhicheverStepFails) {
    struct Row { const char* name; std::vector<int> failing; bool swapped; };
    const Row rows[] = {
        {"exchange", {}, true},
        {"without the exchange", {0}, true},
        {"moving the old one aside", {0, 1}, false},
        {"moving the new one in", {0, 2}, false},
        {"the exchange alone", {1, 2}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir root;
        test::makeInstallFolder(root.path() / "Corvane", "1.0", "old");
        test::makeInstallFolder(root.path() / ".new", "2.0", "new");
        const auto oldFolder = test::snapshot(root.path() / "Corvane");
        const auto newFolder = test::snapshot(root.path() / ".new");
        const bool done = FolderSwap::replace(root.path() / ".new", root.path() / "Corvane", [&](int step) {
            return std::find(row.failing.begin(), row.failing.end(), step) != row.failing.end();
        });
        EXPECT_EQ(done, row.swapped);
        EXPECT_EQ(test::snapshot(root.path() / "Corvane"), row.swapped ? newFolder : oldFolder);
        EXPECT_EQ(test::snapshot(root.path() / ".new"), row.swapped ? oldFolder : newFolder);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root.path()), {}), 2);
    }
    // A missing installed folder is never "replaced" by moving the new one there.
    test::TempDir root;
    test::makeInstallFolder(root.path() / ".new", "2.0", "new");
    EXPECT_FALSE(FolderSwap::replace(root.path() / ".new", root.path() / "Corvane"));
    EXPECT_TRUE(std::filesystem::exists(root.path() / ".new/bin/corvane"));
}

} // namespace
} // namespace corvane
