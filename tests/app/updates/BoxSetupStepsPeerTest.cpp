#include "tests/app/updates/UpdateHarness.hpp"
#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QMessageBox>
#include <future>

namespace corvane {
namespace {

QMessageBox* shownAlert() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    return nullptr;
}

QAbstractButton* button(QMessageBox& box, const QString& text) {
    for (QAbstractButton* candidate : box.buttons())
        if (candidate->text() == text) return candidate;
    return nullptr;
}

TEST(BoxSetupStepsPeerTest, CopyLinkPutsTheSetupPageOnTheClipboardAnHttpFeedOffersNone) {
    test::ensureApplication(true);
    ManualClock clock;
    AppPool pool;
    {
        UpdateManager manager(clock, pool, AgentClient("127.0.0.1", 1),
                              AppInfo{"1", "org.corvane.Corvane", "https://updates.example/corvane/stable/feed.json", ""});
        auto shown = manager.showBoxSetupSteps();
        QMessageBox* box = shownAlert();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "Update the box software (one time)");
        EXPECT_NE(box->informativeText().indexOf("go to:\n   https://updates.example/corvane/box/\n3. Download"), -1);
        QAbstractButton* copy = button(*box, "Copy Link");
        ASSERT_NE(copy, nullptr);
        copy->click();
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return shown.isReady(); }));
        // The clipboard is served by this process: read it while the event loop runs.
        auto read = std::async(std::launch::async, [] { return test::runCommand("xclip -o -selection clipboard"); });
        ASSERT_TRUE(test::pumpUntil(clock, [&] { return read.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        EXPECT_EQ(read.get().output, "https://updates.example/corvane/box/");
    }
    UpdateManager manager(clock, pool, AgentClient("127.0.0.1", 1),
                          AppInfo{"1", "org.corvane.Corvane", "http://updates.example/corvane/stable/feed.json", ""});
    auto shown = manager.showBoxSetupSteps();
    QMessageBox* box = shownAlert();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(button(*box, "Copy Link"), nullptr);
    EXPECT_NE(box->informativeText().indexOf("the box setup page on your Corvane update site (run Publish Corvane "
                                             "Update.command on this Mac first to create it)\n3."),
              -1);
    // A second request raises the alert already shown instead of opening another.
    auto again = manager.showBoxSetupSteps();
    EXPECT_TRUE(again.isReady());
    button(*box, "Done")->click();
    ASSERT_TRUE(test::pumpUntil(clock, [&] { return shown.isReady(); }));
}

} // namespace
} // namespace corvane
