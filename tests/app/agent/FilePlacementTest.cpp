#include "app/services/agent/Downloader.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <set>

namespace corvane {
namespace {

namespace fs = std::filesystem;

int fails(int error) {
    errno = error;
    return -1;
}

TEST(FilePlacementTest, NeverReplacesOnAnyFileSystem) {
    // This machine's calls, then a file system without the no-replace rename, then one without hard links
    // either (FUSE mounts).
    const Downloader::PlacementCalls noRename{[](const char*, const char*) { return fails(EINVAL); },
                                              Downloader::systemCalls().link};
    const Downloader::PlacementCalls neither{[](const char*, const char*) { return fails(EINVAL); },
                                             [](const char*, const char*) { return fails(EPERM); }};
    for (const auto& calls : {Downloader::systemCalls(), noRename, neither}) {
        test::TempDir dir;
        std::ofstream(dir.path() / "report.pdf") << "mine";
        std::ofstream(dir.path() / "report 2.pdf") << "mine too";
        for (const char* content : {"first", "second"}) {
            std::ofstream(dir.path() / ".part") << content;
            (void)Downloader::place(dir.path() / ".part", dir.path() / "report.pdf", calls);
        }
        EXPECT_EQ(test::readWhole(dir.path() / "report.pdf"), "mine");
        EXPECT_EQ(test::readWhole(dir.path() / "report 2.pdf"), "mine too");
        EXPECT_EQ(test::readWhole(dir.path() / "report 3.pdf"), "first");
        EXPECT_EQ(test::readWhole(dir.path() / "report 4.pdf"), "second");
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) names.insert(entry.path().filename().string());
        EXPECT_EQ(names.size(), 4u);  // no temporary file and no reservation left
    }
    EXPECT_EQ(Downloader::numberedName("/d/archive.tar.gz", 3), fs::path("/d/archive.tar 3.gz"));
    EXPECT_EQ(Downloader::numberedName("/d/Photos", 2), fs::path("/d/Photos 2"));
}

} // namespace
} // namespace corvane
