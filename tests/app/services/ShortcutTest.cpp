#include "app/services/KeyShortcut.hpp"
#include "app/services/ShortcutMonitor.hpp"
#include "app/services/ShortcutRecorder.hpp"
#include <gtest/gtest.h>
#include <memory>

namespace corvane {
namespace {

constexpr std::uint64_t kShift = KeyShortcut::shift, kControl = KeyShortcut::control, kOption = KeyShortcut::option,
                        kCommand = KeyShortcut::command, kCapsLock = 0x10000, kFunction = 0x800000;

TEST(KeyShortcut, DisplayMatchAndJson) {
    EXPECT_EQ((KeyShortcut{1, kCommand | kOption | kShift | kControl, "S"}.display()),
              "Ctrl + Alt + Shift + Super + S");
    EXPECT_EQ((KeyShortcut{49, 0, "Space"}.display()), "Space");
    const KeyShortcut release = KeyShortcut::defaultReleaseMouse();
    EXPECT_TRUE(release.matches(6, kControl | kOption | kShift | kCapsLock | kFunction));
    EXPECT_FALSE(release.matches(6, kControl | kOption));
    EXPECT_FALSE(release.matches(6, kControl | kOption | kShift | kCommand));
    EXPECT_FALSE(release.matches(7, kControl | kOption | kShift));
    const KeyShortcut shortcut{12, 0xE0000, "Q"};
    EXPECT_EQ(KeyShortcut::fromJson(shortcut.toJson()), shortcut);
    EXPECT_EQ(KeyShortcut::fromJson(R"({"key":"Z","modifiers":917504,"keyCode":6,"extra":1})"), release);
    for (const char* bad : {R"({"keyCode":6,"modifiers":917504})", R"({"keyCode":6,"key":"Z"})",
                            R"({"keyCode":"6","modifiers":917504,"key":"Z"})",
                            R"({"keyCode":65536,"modifiers":917504,"key":"Z"})",
                            R"({"keyCode":-1,"modifiers":917504,"key":"Z"})", R"({"keyCode":6,"modifiers":-1,"key":"Z"})",
                            R"({"keyCode":6.5,"modifiers":917504,"key":"Z"})", R"({"keyCode":6,"modifiers":917504,"key":7})",
                            R"([6,917504,"Z"])", R"({"keyCode":6,)", ""})
        EXPECT_EQ(KeyShortcut::fromJson(bad), std::nullopt) << bad;
    const auto replaced = KeyShortcut::fromJson(KeyShortcut{3, kControl, "\xFF"}.toJson());
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->key, "\xEF\xBF\xBD");
}

// Stands in for the settings window's key monitor: keeps the handler and counts removals.
struct FakeMonitor {
    ShortcutRecorder::KeyHandler handler;
    int installed = 0, removed = 0;
    ShortcutRecorder::MonitorInstaller installer() {
        return [this](ShortcutRecorder::KeyHandler h) {
            handler = std::move(h), ++installed;
            return [this] { ++removed, handler = nullptr; };
        };
    }
    bool press(std::uint16_t code, std::uint64_t flags, std::string characters = {}) {
        auto h = handler;  // the handler may remove itself
        return h && h({code, flags, std::move(characters), {}});
    }
};

class ShortcutRecorderTest : public ::testing::Test {
protected:
    FakeMonitor monitor;
    ShortcutRecorder recorder{monitor.installer()};
    std::vector<KeyShortcut> offered;
    std::optional<std::string> answer;
    void record() {
        recorder.record(ShortcutAction::endSession, [this](const KeyShortcut& s) {
            offered.push_back(s);
            return answer;
        });
    }
};

// Escape, a refused key and a taken shortcut are pressed for real in the settings window's peer test; here
// the candidates themselves and the monitor's life.
TEST_F(ShortcutRecorderTest, CandidatesKeepTheFourModifiersAndEveryEndRemovesTheMonitor) {
    int changes = 0;
    QObject::connect(&recorder, &ShortcutRecorder::changed, [&] { ++changes; });
    record();
    EXPECT_EQ(recorder.message(), "Press the new shortcut. Escape cancels.");
    EXPECT_GE(changes, 1);
    EXPECT_TRUE(monitor.press(53, kCapsLock));
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(monitor.removed, 1);
    record();
    EXPECT_TRUE(monitor.press(0, kShift, "a"));
    EXPECT_EQ(recorder.message(), "Use at least one of Ctrl, Alt or Super, so the shortcut never gets in the way of typing.");
    EXPECT_TRUE(monitor.press(53, kControl));  // Control-Escape is a candidate
    answer = "That shortcut already ends the session.";
    record();
    EXPECT_TRUE(monitor.press(96, kControl | kOption | kCapsLock | kFunction));
    EXPECT_EQ(offered, (std::vector<KeyShortcut>{{53, kControl, "Escape"}, {96, kControl | kOption, "F5"}}));
    EXPECT_EQ(recorder.message(), "That shortcut already ends the session.");
    answer.reset();
    EXPECT_TRUE(monitor.press(7, kControl, "x"));
    EXPECT_EQ(recorder.message(), std::nullopt);
    EXPECT_EQ(monitor.removed, monitor.installed);
    EXPECT_FALSE(monitor.press(7, kControl, "x"));
    EXPECT_EQ(ShortcutRecorder::keyName({40, 0, " k\n", {}}), "K");
    EXPECT_EQ(ShortcutRecorder::keyName({40, 0, "", "ß"}), "SS");
    EXPECT_EQ(ShortcutRecorder::keyName({10, 0, "", ""}), "Key 10");
    EXPECT_EQ(ShortcutRecorder::keyName({126, 0, "x", ""}), "Up Arrow");
}

TEST_F(ShortcutRecorderTest, MonitorsAreReplacedAndRemovedOnce) {
    record();
    record();
    EXPECT_EQ(monitor.installed, 2);
    EXPECT_EQ(monitor.removed, 1);
    FakeMonitor other;
    auto owned = std::make_unique<ShortcutRecorder>(other.installer());
    owned->record(ShortcutAction::releaseMouse, [](const KeyShortcut&) { return std::nullopt; });
    auto handler = other.handler;
    owned.reset();
    EXPECT_EQ(other.removed, 1);
    EXPECT_FALSE(handler({6, kControl, "z", {}}));
    int released = 0;
    {
        ShortcutMonitor hook;
        hook.stop();
        hook.tap = [&] { ++released; };
        hook.stop();
        hook.stop();
        EXPECT_EQ(released, 1);
        hook.tap = [&] { ++released; };
    }
    EXPECT_EQ(released, 2);
}

} // namespace
} // namespace corvane
