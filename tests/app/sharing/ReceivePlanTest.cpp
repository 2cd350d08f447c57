#include "app/sharing/ReceivePlan.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>

namespace corvane {
namespace {

namespace fs = std::filesystem;
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

AgentClient::OutboxItem item(std::vector<std::string> files, std::optional<std::vector<std::string>> dirs = {},
                             std::int64_t total = 0) {
    AgentClient::OutboxItem out;
    out.id = "1";
    for (auto& f : files) out.files.push_back({f, 1});
    out.dirs = std::move(dirs);
    out.totalBytes = total;
    return out;
}

TEST(ReceivePlan, UniqueNamesCountUpAndSeeDanglingLinks) {
    test::TempDir dir;
    for (const char* name : {"report.pdf", "report 2.pdf", "Photos", "archive.tar.gz", ".bashrc"})
        std::ofstream(dir.path() / name) << "x";
    fs::create_symlink(dir.path() / "missing", dir.path() / "Link");
    const struct { const char* name; std::set<std::string> taken; const char* expected; } rows[] = {
        {"report.pdf", {}, "report 3.pdf"},
                                             {"Photos", {}, "Photos 2"},
                                             {"archive.tar.gz", {}, "archive.tar 2.gz"},
                                             {".bashrc", {}, ".bashrc 2"},
                                             {"Link", {}, "Link 2"},
                                             {"new.txt", {}, "new.txt"},
                                             {"new.txt", {"new.txt", "new 2.txt"}, "new 3.txt"}};
    for (const auto& row : rows)
        EXPECT_EQ(ReceivePlan::uniqueName(row.name, dir.path(), row.taken), row.expected) << row.name;
}

TEST(ReceivePlan, TopNamesAndWhat) {
    test::TempDir dir;
    std::ofstream(dir.path() / "a.txt") << "x";
    const auto plan = ReceivePlan::make(item({"a.txt", "F/x", "F/y", "/a.txt"}, std::vector<std::string>{"G", "F/z"}, -7),
                                        dir.path());
    EXPECT_EQ(plan.topNames, (std::vector<std::string>{"a.txt", "F", "G"}));
    EXPECT_EQ(plan.macNames.at("a.txt"), "a 2.txt");
    EXPECT_EQ(plan.folderTops, (std::set<std::string>{"F", "G"}));
    EXPECT_EQ(plan.what, "3 items");
    EXPECT_EQ(plan.total, 1);
    EXPECT_EQ(ReceivePlan::make(item({}), dir.path()).what, "0 items");
    EXPECT_EQ(ReceivePlan::make(item({"F/x"}), dir.path()).what, "F");
}

TEST(ReceivePlan, DestinationRefusesEveryUnsafePath) {
    const auto plan = ReceivePlan::make(item({"Box/a", "..", "./b", "c\x01"}), "/in");
    EXPECT_EQ(plan.topNames, std::vector<std::string>{"Box"});
    const std::string tooLong(256, 'n');
    const std::string longest(255, 'n');
    for (const auto& bad : std::vector<std::string>{"", "/", "Other/a", "Box/../x", "Box/./x", "Box/a\x01", "Box/a\x7f",
                                  std::string("Box/a\0b", 7), "Box/" + tooLong, "..", "../Box"})
        EXPECT_FALSE(plan.destination(bad)) << bad;
    EXPECT_EQ(plan.destination("Box"), fs::path("/in/Box"));
    EXPECT_EQ(plan.destination("//Box//x/y/"), fs::path("/in/Box/x/y"));
    EXPECT_EQ(plan.destination("Box/" + longest), fs::path("/in/Box/" + longest));
    EXPECT_EQ(plan.destination("Box/C:\\x"), fs::path("/in/Box/C:\\x"));
}

TEST(ReceivePlan, SumsSaturateAndProgressStaysInRange) {
    EXPECT_EQ(ReceivePlan::saturatingAdd(kMax, 1), kMax);
    EXPECT_EQ(ReceivePlan::saturatingAdd(kMax - 1, kMax), kMax);
    EXPECT_EQ(ReceivePlan::saturatingAdd(5, -3), 5);
    EXPECT_EQ(ReceivePlan::saturatingAdd(-9, 4), 4);
    ReceivePlan plan;
    plan.total = 100;
    EXPECT_DOUBLE_EQ(plan.progress(40, 0.5, 20), 0.5);
    EXPECT_DOUBLE_EQ(plan.progress(90, 1.0, 50), 1.0);
    EXPECT_DOUBLE_EQ(plan.progress(-5, -1, -5), 0.0);
    EXPECT_DOUBLE_EQ(plan.progress(0, std::numeric_limits<double>::quiet_NaN(), 10), 0.0);
    plan.total = kMax;
    EXPECT_LE(plan.progress(kMax, 1.0, kMax), 1.0);
}

} // namespace
} // namespace corvane
