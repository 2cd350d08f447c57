#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using Dictionary = DefaultsValue::Dictionary;
using Array = DefaultsValue::Array;

// Settings written by every earlier run must read back: the file's text is pinned here.
const char* const kFile = R"({
  "$$bytes": {
    "$$x": "kept",
    "plain": {
      "$bytes": "AQID"
    }
  },
  "count": -7,
  "flag": true,
  "list": [
    1,
    "two"
  ],
  "name": "Windows",
  "ratio": 1.0
}
)";

const Dictionary kValues{
    {"$bytes", {Dictionary{{"$x", {std::string("kept")}}, {"plain", {Bytes{1, 2, 3}}}}}},
    {"count", {std::int64_t{-7}}},
    {"flag", {true}},
    {"list", {Array{{std::int64_t{1}}, {std::string("two")}}}},
    {"name", {std::string("Windows")}},
    {"ratio", {1.0}},
};

class UserDefaultsTest : public ::testing::Test {
protected:
    std::string text() const { return test::readWhole(file); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(file.parent_path())) out.push_back(entry.path().filename());
        return out;
    }
    test::TempDir dir;
    fs::path file = dir.path() / "sub" / "defaults.json";
};

TEST_F(UserDefaultsTest, WritesThePinnedFileAsAPrivateFileAndReadsItBack) {
    {
        UserDefaults defaults(file);
        for (const auto& [key, value] : kValues) defaults.set(key, value);
        defaults.set("gone", {false});
        defaults.remove("gone");
    }
    EXPECT_EQ(text(), kFile);
    EXPECT_EQ(names(), std::vector<std::string>{"defaults.json"});  // no temporary file left
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const UserDefaults reloaded(file);
    for (const auto& [key, value] : kValues) EXPECT_EQ(reloaded.object(key), value) << key;
    EXPECT_FALSE(reloaded.object("gone").has_value());
}

TEST_F(UserDefaultsTest, OtherFilesReadAsGivenOrAreKeptAsideWhole) {
    const std::pair<std::string, std::optional<DefaultsValue>> rows[] = {
        {R"({"big": 18446744073709551615})", DefaultsValue{18446744073709551615.0}},
        {R"({"big": {"$bytes": "AQID", "x": 1}})",
         DefaultsValue{Dictionary{{"$bytes", {std::string("AQID")}}, {"x", {std::int64_t{1}}}}}},
        {R"({"big": {"$bytes": "not base64!"}, "other": 1})", std::nullopt},
        {R"({"big": null, "other": 1})", std::nullopt},
        {R"([1, 2])", std::nullopt},
        {R"({"other": 1, "big": )" + std::string(70, '[') + std::string(70, ']') + "}", std::nullopt},
    };
    for (const auto& [content, big] : rows) {
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        std::ofstream(file) << content;
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.object("big"), big) << content;
        if (big) continue;
        // Nothing of it is used; it is kept aside under its own name and the next change starts afresh.
        EXPECT_FALSE(defaults.object("other").has_value()) << content;
        defaults.set("fresh", {true});
        const auto all = names();
        ASSERT_EQ(all.size(), 2u) << content;
        const fs::path aside = file.parent_path() / (all[0] == "defaults.json" ? all[1] : all[0]);
        EXPECT_TRUE(aside.filename().string().starts_with("defaults.json.unreadable-")) << aside;
        EXPECT_EQ(test::readWhole(aside), content);
        EXPECT_EQ(text(), "{\n  \"fresh\": true\n}\n");
    }
    ::setenv("XDG_CONFIG_HOME", "/config", 1);
    EXPECT_EQ(UserDefaults::standardFile(), fs::path("/config/Corvane/defaults.json"));
    ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace corvane::platform
