// Shortcuts recorded from real key presses (xdotool through XTest) in the settings window on a virtual display.
#include "app/services/ShortcutRecorder.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/ShortcutsTab.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

namespace corvane {
namespace {

class ShortcutRecording : public test::UiFixture {
protected:
    ShortcutRecording() : UiFixture(true) {}
    void SetUp() override {
        window = std::make_unique<SettingsWindow>(*box);
        window->tabs()->setCurrentIndex(4);
        tab = static_cast<ShortcutsTab*>(window->page(4));
        window->showAndRaise();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), 10000));
    }
    void press(const std::string& keys) {
        const auto result = test::runCommand("xdotool key " + keys + " 2>&1");
        ASSERT_EQ(result.status, 0) << result.output;
    }
    // Waits until the recorder has taken a key press (its message or state changed).
    bool settled(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }
    QString message() { return tab->findChild<QLabel*>("recorderMessage")->text(); }
    std::unique_ptr<SettingsWindow> window;
    ShortcutsTab* tab = nullptr;
};

TEST_F(ShortcutRecording, RealKeysThroughTheRecorder) {
    auto& recorder = box->shortcutRecorder();
    const KeyShortcut original = box->settings().releaseMouseKey;
    // Escape cancels.
    tab->shortcutButton(0)->click();
    ASSERT_TRUE(recorder.isMonitoring());
    press("Escape");
    EXPECT_TRUE(settled([&] { return !recorder.active(); }));
    EXPECT_EQ(box->settings().releaseMouseKey, original);
    // A key without Ctrl, Alt or Super is refused; recording goes on.
    tab->shortcutButton(0)->click();
    press("m");
    EXPECT_TRUE(settled([&] { return message().startsWith("Use at least one of Ctrl, Alt or Super"); }));
    EXPECT_EQ(recorder.active(), ShortcutAction::releaseMouse);
    // The other action's keys are refused by the controller.
    press("ctrl+alt+shift+q");
    EXPECT_TRUE(settled([&] { return !message().startsWith("Use at least one"); }));
    EXPECT_EQ(recorder.active(), ShortcutAction::releaseMouse);
    EXPECT_EQ(box->settings().releaseMouseKey, original);
    // A new shortcut is stored and ends the recording.
    press("ctrl+alt+m");
    EXPECT_TRUE(settled([&] { return !recorder.active(); }));
    EXPECT_EQ(box->settings().releaseMouseKey.display(), "Ctrl + Alt + M");
    EXPECT_EQ(tab->shortcutButton(0)->text(), "Ctrl + Alt + M");
    // Leaving the tab ends a recording; the stored shortcut stays.
    tab->shortcutButton(1)->click();
    ASSERT_TRUE(recorder.active());
    window->tabs()->setCurrentIndex(0);
    EXPECT_FALSE(recorder.active());
    EXPECT_EQ(box->settings().endSessionKey, KeyShortcut::defaultEndSession());
}

// Ctrl+W closes the settings and acknowledgements windows, but is a shortcut like any other while one is
// being recorded.
TEST_F(ShortcutRecording, CtrlWClosesTheWindowUnlessItIsRecorded) {
    tab->shortcutButton(1)->click();
    press("ctrl+w");
    EXPECT_TRUE(settled([&] { return !box->shortcutRecorder().active(); }));
    EXPECT_EQ(box->settings().endSessionKey.display(), "Ctrl + W");
    EXPECT_TRUE(window->isVisible());
    press("ctrl+w");
    EXPECT_TRUE(settled([&] { return !window->isVisible(); }));
    Acknowledgements::show();
    QWidget* acknowledgements = Acknowledgements::window();
    ASSERT_TRUE(QTest::qWaitForWindowActive(acknowledgements, 10000));
    press("ctrl+w");
    EXPECT_TRUE(settled([&] { return !acknowledgements->isVisible(); }));
}

} // namespace
} // namespace corvane
