#include "platform/defaults/UserDefaults.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

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

TEST(UserDefaultsTest, WritesThePinnedFileReadsItBackAndKeepsWhatItCanOfOtherFiles) {
    test::TempDir dir;
    const fs::path file = dir.path() / "sub" / "defaults.json";
    const auto names = [&] {
        std::vector<std::string> out;
        for (const auto& entry : fs::directory_iterator(file.parent_path())) out.push_back(entry.path().filename());
        return out;
    };
    {
        UserDefaults defaults(file);
        for (const auto& [key, value] : kValues) defaults.set(key, value);
        defaults.set("gone", {false});
        defaults.remove("gone");
    }
    EXPECT_EQ(test::readWhole(file), kFile);
    EXPECT_EQ(names(), std::vector<std::string>{"defaults.json"});  // no temporary file left
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const UserDefaults reloaded(file);
    for (const auto& [key, value] : kValues) EXPECT_EQ(reloaded.object(key), value) << key;
    EXPECT_FALSE(reloaded.object("gone").has_value());
    // A value that cannot be read goes alone: the rest of the file stays (big: what is read, other: 1 always).
    const std::pair<std::string, std::optional<DefaultsValue>> values[] = {
        {R"(18446744073709551615)", DefaultsValue{18446744073709551615.0}},
        {R"({"$bytes": "AQID", "x": 1})", DefaultsValue{Dictionary{{"$bytes", {std::string("AQID")}}, {"x", {std::int64_t{1}}}}}},
        {R"({"$bytes": "not base64!"})", std::nullopt},
        {R"(null)", std::nullopt},
        {R"({"fps": null, "hdr": true, "key": {"$bytes": "!"}})", DefaultsValue{Dictionary{{"hdr", {true}}}}},
        {R"([1, null, "two"])", DefaultsValue{Array{{std::int64_t{1}}, {std::string("two")}}}},
        {std::string(70, '[') + std::string(70, ']'), std::nullopt},
    };
    fs::create_directories(file.parent_path());
    for (const auto& [value, big] : values) {
        std::ofstream(file) << R"({"other": 1, "big": )" + value + "}";
        const UserDefaults defaults(file);
        EXPECT_EQ(defaults.object("big"), big) << value;
        EXPECT_EQ(defaults.object("other"), DefaultsValue{std::int64_t{1}}) << value;
        EXPECT_EQ(names(), std::vector<std::string>{"defaults.json"});
    }
    // No regular file (a FIFO, "", would hold up the start for good), not a dictionary, no JSON, or too large.
    for (const auto& content : {std::string(), std::string("[1, 2]"), std::string(R"({"other": 1,)"),
                                R"({"other": ")" + std::string(16u << 20, 'x') + "\"}"}) {
        fs::remove_all(file.parent_path());
        fs::create_directories(file.parent_path());
        if (content.empty()) ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        else std::ofstream(file) << content;
        const auto kept = fs::symlink_status(file).type();
        UserDefaults defaults(file);  // (reading a FIFO would wait here for a writer)
        EXPECT_FALSE(defaults.object("other").has_value());
        // Kept aside under its own name, as it was; the next change starts afresh.
        defaults.set("fresh", {true});
        const auto all = names();
        ASSERT_EQ(all.size(), 2u);
        const fs::path aside = file.parent_path() / (all[0] == "defaults.json" ? all[1] : all[0]);
        EXPECT_TRUE(aside.filename().string().starts_with("defaults.json.unreadable-")) << aside;
        EXPECT_EQ(fs::symlink_status(aside).type(), kept);
        EXPECT_EQ(test::readWhole(file), "{\n  \"fresh\": true\n}\n");
    }
    ::setenv("XDG_CONFIG_HOME", "/config", 1);
    EXPECT_EQ(UserDefaults::standardFile(), fs::path("/config/Corvane/defaults.json"));
    ::unsetenv("XDG_CONFIG_HOME");
}

// The app log is made after the settings are read: warnings wait for its sink, in order and with their time;
// past the first hundred only their number is kept. Once installed, the sink hears each warning at once.
TEST(UserDefaultsTest, WarningsRaisedBeforeTheSinkAreKeptForIt) {
    using Warning = UserDefaults::Warning;
    UserDefaults::setWarningSink([](const Warning&) {});  // what earlier tests of this program left kept
    UserDefaults::setWarningSink(nullptr);
    test::TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    const auto before = std::chrono::system_clock::now();
    std::ofstream(file) << R"({"fps": null, "hdr": true})";
    UserDefaults{file};
    std::ofstream(file) << "[1, 2]";
    UserDefaults{file};
    std::string many = "{";
    for (int i = 0; i < 110; ++i) many += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": null";
    std::ofstream(file) << many + "}";
    UserDefaults{file};
    const auto after = std::chrono::system_clock::now();

    std::vector<Warning> heard;
    UserDefaults::setWarningSink([&heard](const Warning& warning) { heard.push_back(warning); });
    ASSERT_EQ(heard.size(), UserDefaults::kKeptWarnings + 1);
    EXPECT_EQ(heard[0].line, "WARNING: settings: the setting \"fps\" in " + file.string() + " could not be read and is left out");
    EXPECT_TRUE(heard[1].line.starts_with("WARNING: settings: the file " + file.string() +
                                          " could not be read (the file does not hold a dictionary); moved aside to " +
                                          file.string() + ".unreadable-")) << heard[1].line;
    EXPECT_EQ(heard[2].line, "WARNING: settings: the setting \"k0\" in " + file.string() + " could not be read and is left out");
    EXPECT_EQ(heard.back().line, "WARNING: settings: 12 more warnings were not kept");
    for (std::size_t i = 0; i < heard.size(); ++i) {
        EXPECT_TRUE(heard[i].at >= before && heard[i].at <= after) << i;
        if (i > 0) {
            EXPECT_LE(heard[i - 1].at, heard[i].at) << i;
        }
    }
    // A settings file under a file instead of a folder can be neither read nor moved aside nor written: the
    // installed sink hears each at once, and only what happened.
    heard.clear();
    std::ofstream(dir.path() / "folder") << "a file";
    const fs::path nowhere = dir.path() / "folder" / "defaults.json";
    UserDefaults unwritable(nowhere);
    unwritable.set("x", {true});
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].line, "WARNING: settings: the file " + nowhere.string() +
                                 " could not be read (Not a directory); left where it is (Not a directory)");
    EXPECT_TRUE(heard[1].line.starts_with("WARNING: settings: could not be saved to " + nowhere.string() + ": "))
        << heard[1].line;
    UserDefaults::setWarningSink(nullptr);
}

} // namespace
} // namespace corvane::platform
