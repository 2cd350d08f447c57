#include "app/services/Folders.hpp"
#include "app/services/Utf8.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace corvane {
namespace {

// Sets an environment variable for one scope and puts the old value back.
struct ScopedVariable {
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name(name) {
        if (const char* was = std::getenv(name)) old = was;
        set(value);
    }
    ~ScopedVariable() { set(old); }
    void set(const std::optional<std::string>& value) { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

TEST(Folders, FollowTheXdgVariables) {
    test::TempDir dir;
    ScopedVariable home("HOME", dir.path().string());
    ScopedVariable state("XDG_STATE_HOME", std::nullopt);
    ScopedVariable data("XDG_DATA_HOME", "relative/is/ignored");
    ScopedVariable config("XDG_CONFIG_HOME", (dir.path() / "conf").string());
    EXPECT_EQ(Folders::home(), dir.path());
    EXPECT_EQ(Folders::logs(), dir.path() / ".local/state/Corvane");
    EXPECT_EQ(Folders::applicationSupport(), dir.path() / ".local/share/Corvane");
    EXPECT_EQ(Folders::downloads(), dir.path() / "Downloads");
    state.set("/var/tmp/state");
    EXPECT_EQ(Folders::logs(), std::filesystem::path("/var/tmp/state/Corvane"));
    std::filesystem::create_directories(dir.path() / "conf");
    std::ofstream(dir.path() / "conf" / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                             "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                             "XDG_DOWNLOAD_DIR=\"/data/Down \\\"loads\\\"\"\n"
                                                             "XDG_MUSIC_DIR=\"$HOME\"\n";
    EXPECT_EQ(Folders::desktop(), dir.path() / "Schreibtisch");
    EXPECT_EQ(Folders::downloads(), std::filesystem::path("/data/Down \"loads\""));
}

TEST(Utf8, ReplacesEachIllFormedSequence) {
    const std::string r = "\xEF\xBF\xBD";
    const struct { std::string in, out; } cases[] = {
        {"plain ascii", "plain ascii"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},  // é € 😀
        {"\xC0\xAF", r + r},                  // overlong "/"
        {"\xE0\x80\xAF", r + r + r},          // overlong, three bytes
        {"\xED\xA0\x80", r + r + r},          // a surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
        {"\xE2\x82", r},                      // cut short: one replacement for the whole start
        {"\xF0\x9F\x98" "a", r + "a"},
        {"a\x80" "b", "a" + r + "b"},
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF itself
        {std::string("nul\0kept", 8), std::string("nul\0kept", 8)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8::repaired(c.in), c.out);
        EXPECT_EQ(Utf8::isValid(c.in), c.in == c.out);
    }
}

} // namespace
} // namespace corvane
