#include "platform/defaults/UserDefaults.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace corvane::platform {
namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::filesystem::path file = dir.path() / "sub" / "defaults.json";
};

TEST_F(UserDefaultsTest, EveryKindOfValueSurvivesAReload) {
    DefaultsValue::Dictionary boxes{{"ABC", {Bytes{0x30, 0x82, 0x00}}}, {"$bytes", {std::string("not bytes")}}};
    {
        UserDefaults defaults(file);
        defaults.set("flag", {true});
        defaults.set("count", {std::int64_t{-7}});
        defaults.set("ratio", {1.0});
        defaults.set("name", {std::string("Windows")});
        defaults.set("cert", {Bytes{1, 2, 3}});
        defaults.set("list", {DefaultsValue::Array{{std::int64_t{1}}, {std::string("two")}}});
        defaults.set("boxes", {boxes});
        defaults.set("gone", {false});
        defaults.remove("gone");
    }
    UserDefaults reloaded(file);
    EXPECT_EQ(*reloaded.object("flag"), DefaultsValue{true});
    EXPECT_EQ(*reloaded.object("count"), DefaultsValue{std::int64_t{-7}});
    // A double that happens to be whole stays a double; text and bytes stay apart.
    ASSERT_NE(reloaded.object("ratio")->get<double>(), nullptr);
    EXPECT_EQ(reloaded.object("name")->get<Bytes>(), nullptr);
    EXPECT_EQ(*reloaded.object("cert"), (DefaultsValue{Bytes{1, 2, 3}}));
    const DefaultsValue list{DefaultsValue::Array{{std::int64_t{1}}, {std::string("two")}}};
    EXPECT_EQ(*reloaded.object("list"), list);
    // A dictionary whose key looks like the bytes marker is still a dictionary.
    EXPECT_EQ(*reloaded.object("boxes"), DefaultsValue{boxes});
    EXPECT_FALSE(reloaded.object("gone").has_value());
    EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none);
}

TEST_F(UserDefaultsTest, AnUnreadableFileIsKeptAsideNotOverwritten) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "{ \"broken\": ";
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.object("broken").has_value());
    defaults.set("fresh", {true});

    int asideCount = 0;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
        if (entry.path().filename().string().starts_with("defaults.json.unreadable-")) {
            ++asideCount;
            std::ifstream in(entry.path());
            std::string kept((std::istreambuf_iterator<char>(in)), {});
            EXPECT_EQ(kept, "{ \"broken\": ");
        }
    }
    EXPECT_EQ(asideCount, 1);
    EXPECT_TRUE(UserDefaults(file).object("fresh").has_value());
}

TEST_F(UserDefaultsTest, BadBytesInTheFileAreRefusedAsAWhole) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << R"({"cert": {"$bytes": "not base64!"}, "other": 1})";
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.object("cert").has_value());
    EXPECT_FALSE(defaults.object("other").has_value());
}

} // namespace
} // namespace corvane::platform
