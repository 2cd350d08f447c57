#include "app/controller/Appearance.hpp"
#include "app/ui/BoxStatusCard.hpp"
#include "tests/app/ui/TextFit.hpp"
#include "app/ui/PercentBar.hpp"
#include "app/ui/TextLines.hpp"
#include "app/ui/Tint.hpp"
#include "app/ui/UpdateBanner.hpp"
#include "app/window/StatsCard.hpp"
#include "app/window/StatsOverlay.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <cstdlib>
#include <limits>
#include <unistd.h>

namespace corvane {
namespace {

using Status = UpdateManager::Status;
using State = UpdateManagerProbe::State;

class UpdateBannerTest : public test::UiFixture {
protected:
    // Each row as "title | detail", then its progress or spinner and its buttons ("*" leads).
    std::vector<std::string> shown() {
        std::vector<std::string> result;
        for (const auto& row : UpdateBanner::rows(box->updates())) {
            std::string line = row.title + " | " + row.detail.value_or("-");
            if (row.progress) line += " | " + std::to_string(std::lround(*row.progress * 100)) + "%";
            if (row.spinner) line += " | spinner";
            for (const auto& button : row.buttons)
                line += " | [" + button.title + (button.prominent ? "*" : "") + (button.enabled ? "]" : " off]");
            result.push_back(line);
        }
        return result;
    }
};

TEST_F(UpdateBannerTest, PrecedenceDecidesTheRowsTheirTextsAndButtons) {
    const UpdateManager::AppUpdate app{"2.0", std::nullopt, {}};
    const std::vector<UpdateManager::BoxUpdate> three{{"gamepad", "1.2"}, {"foo", "1.2"}, {"agent", "0.9"}};
    const std::string onBox = " | Installs on the box. Updating ends the current session. | [Update]";
    const std::string setup = "Box software needs a one-time update | This is done on the box, not here. After that, the box "
                              "updates from Corvane. | [Show Steps] | [Later]";
    const auto all = [](int n) {
        return std::to_string(n) + " updates are available | Installs them one after another. Corvane restarts at the end "
                                   "if it updates itself. | [Update All*]";
    };
    struct Row { const char* name; State state; std::vector<std::string> rows; bool padded; };
    const Row rows[] = {
        {"nothing", {}, {}, false},
        {"updating hides waiting ones",
         {.status = Status::updating("Downloading..."), .batchStep = "2 of 3", .progress = 0.4, .appUpdate = app, .boxUpdates = three},
         {"Updating (2 of 3) | Downloading... | 40%"}, true},
        {"updating, no progress", {.status = Status::updating("Waiting...")}, {"Updating | Waiting... | spinner"}, true},
        {"failure", {.status = Status::failed("Disk full."), .appUpdate = app}, {"Update failed | Disk full. | [Dismiss]"}, true},
        {"manual check", {.status = Status::checking(), .showResult = true, .appUpdate = app},
         {"Checking for updates... | - | spinner"}, true},
        {"automatic check keeps the list; one pending leads", {.status = Status::checking(), .appUpdate = app},
         {"Corvane 2.0 is available | You have 1.0. | [Update*]"}, false},
        {"two pending", {.appUpdate = app, .boxUpdates = {{"host", "1.1"}}},
         {all(2), "Corvane 2.0 is available | You have 1.0. | [Update]", "Corvane streamer 1.1 is available" + onBox}, true},
        {"all waiting",
         {.status = Status::upToDate(), .showResult = true, .appUpdate = UpdateManager::AppUpdate{"2.0", "Faster.", {}},
          .boxUpdates = three, .boxNeedsSetup = true},
         {all(4), "Corvane 2.0 is available | Faster. | [Update]", "Controller driver 1.2 is available" + onBox,
          "foo 1.2 is available" + onBox, "Box software 0.9 is available" + onBox, setup},
         true},
        {"where the app cannot update itself, the row says why and its button is off", {.appUpdate = UpdateManager::AppUpdate{"2.0", "Faster.", {}},
         .appUpdateObstacle = "Corvane can't update itself in /usr/bin: that folder is the system's."},
         {"Corvane 2.0 is available | Corvane can't update itself in /usr/bin: that folder is the system's. | [Update off]"}, true},
        {"nor is it counted for Update All",
         {.appUpdate = app, .boxUpdates = {{"host", "1.1"}, {"agent", "0.9"}}, .appUpdateObstacle = "Cannot."},
         {all(2), "Corvane 2.0 is available | Cannot. | [Update off]", "Corvane streamer 1.1 is available" + onBox,
          "Box software 0.9 is available" + onBox}, true},
        {"setup alone has no padding", {.boxNeedsSetup = true}, {setup}, false},
        {"up to date", {.status = Status::upToDate(), .showResult = true}, {"Corvane is up to date | Version 1.0 | [OK]"}, true},
        {"up to date after OK", {.status = Status::upToDate()}, {}, false},
        {"not while a box update waits", {.status = Status::upToDate(), .showResult = true, .boxUpdates = {{"host", "1.1"}}},
         {"Corvane streamer 1.1 is available" + onBox}, true},
        {"nor while the box needs its setup", {.status = Status::upToDate(), .showResult = true, .boxNeedsSetup = true}, {setup}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        setUpdates(row.state);
        EXPECT_EQ(shown(), row.rows);
        EXPECT_EQ(UpdateBanner::hasContent(box->updates()), row.padded);
    }
    // The buttons reach the manager; details stop at four lines.
    setUpdates({.status = Status::upToDate(), .showResult = true});
    UpdateBanner::rows(box->updates()).at(0).buttons.at(0).action();  // OK
    EXPECT_TRUE(UpdateBanner::rows(box->updates()).empty());
    setUpdates({.status = Status::failed(std::string(2000, 'x') + " end")});
    UpdateBanner banner(box->updates());
    EXPECT_EQ(banner.findChild<TextLines*>("detail")->lines(200).size(), 4);
    banner.findChild<QPushButton*>()->click();  // its one button: Dismiss
    EXPECT_EQ(box->updates().status(), Status::idle());
    EXPECT_TRUE(UpdateBanner::rows(box->updates()).empty());
}

// A failure's row shows one button, "Dismiss".
TEST_F(UpdateBannerTest, AFailureShowsOneButtonDismiss) {
    setUpdates({.status = Status::failed("Disk full.")});
    UpdateBanner banner(box->updates());
    const auto buttons = banner.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text().toStdString(), "Dismiss");
    EXPECT_TRUE(buttons[0]->isVisibleTo(&banner));
}

// A finished download reads "100%" whole beside its bar: at the desktop's font, at twice its size (as a
// desktop at scale 2 through its font resolution gives) and at a large one, and after the figure's font
// grows while shown. The test runs itself again at Qt's scale 2.
TEST_F(UpdateBannerTest, AFullBarShowsTheWholePercentAtEveryScaleAndFont) {
    if (!std::getenv("QT_SCALE_FACTOR")) {
        const auto run = test::runCommand("QT_SCALE_FACTOR=2 /proc/" + std::to_string(::getpid()) +
                                          "/exe --gtest_filter='*AFullBarShowsTheWholePercent*' 2>&1");
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("[       OK ] "), std::string::npos) << run.output;
    }
    const QFont desktop = QApplication::font();
    for (const double size : {desktop.pointSizeF(), 2 * desktop.pointSizeF(), 24.0}) {
        SCOPED_TRACE(std::to_string(size) + " pt at scale " + (std::getenv("QT_SCALE_FACTOR") ? "2" : "1"));
        QFont font = desktop;
        font.setPointSizeF(size);
        QApplication::setFont(font);
        setUpdates({.status = Status::updating("Installing..."), .progress = 1.0});
        UpdateBanner banner(box->updates());
        banner.resize(500, 200);
        banner.show();
        QApplication::processEvents();
        auto* bar = banner.findChild<PercentBar*>();
        ASSERT_NE(bar, nullptr);
        EXPECT_EQ(bar->text(), "100%");
        EXPECT_EQ(test::cutTexts(banner), "");
        auto* figure = bar->findChild<QLabel*>();
        QFont larger = figure->font();
        larger.setPointSizeF(larger.pointSizeF() * 1.5);
        figure->setFont(larger);
        QApplication::processEvents();
        EXPECT_EQ(test::cutTexts(banner), "");
    }
    QApplication::setFont(desktop);
}

// Where the app cannot update itself, its buttons in the main window's banner and on the Updates tab are off,
// with the whole reason beside them, and so is a failure that found it: wrapped at the windows' widths, light
// and dark, never cut. "Update All" stays on and counts the box's updates alone.
TEST_F(UpdateBannerTest, WhereTheAppCannotUpdateItselfItsButtonsAreOffBesideTheWholeReason) {
    const std::string advice = "Corvane can't update itself in /home/someone/.local/opt/a-folder-name-long-enough-to-wrap-"
                               "anywhere/bin: that folder belongs to another user. Install the new version the way you "
                               "installed this one, or install Corvane in ~/.local, where it updates itself.";
    const UpdateManager::AppUpdate app{"2.0", "Faster.", {}};
    MainWindow main(*box);
    SettingsWindow settings(*box);
    settings.tabs()->setCurrentIndex(settings.tabs()->count() - 1);
    ASSERT_EQ(settings.tabs()->tabText(settings.tabs()->currentIndex()), "Updates");
    const auto button = [](QWidget& window, const QString& text) -> QPushButton* {
        for (auto* push : window.findChildren<QPushButton*>())
            if (push->isVisibleTo(&window) && push->text() == text) return push;
        return nullptr;
    };
    for (const char* look : {"light", "dark"}) {
        Appearance::apply(std::string(look));
        const State states[] = {{.appUpdate = app, .boxUpdates = {{"host", "1.1"}, {"agent", "0.9"}}, .appUpdateObstacle = advice},
                                {.status = Status::failed(advice), .appUpdate = app, .appUpdateObstacle = advice}};
        for (const State& state : states) {
            const bool failed = state.status.kind == Status::Kind::failed;
            SCOPED_TRACE(std::string(look) + (failed ? ", failed" : ", waiting"));
            setUpdates(state);
            for (QWidget* window : {static_cast<QWidget*>(&main), static_cast<QWidget*>(&settings)}) {
                window->show();
                QApplication::processEvents();
                EXPECT_EQ(test::cutTexts(*window), "");
                const auto whole = test::wholeText(*window, advice);
                EXPECT_EQ(whole.faults, "");
                // The banner's row or failure; the tab's row, and its status line with the failure.
                EXPECT_EQ(whole.shown, window == &main ? 1 : failed ? 2 : 1);
                window->hide();
            }
            if (failed) continue;
            ASSERT_NE(button(main, "Update"), nullptr);
            EXPECT_FALSE(button(main, "Update")->isEnabled());
            ASSERT_NE(button(settings, "Update to 2.0"), nullptr);
            EXPECT_FALSE(button(settings, "Update to 2.0")->isEnabled());
            ASSERT_NE(button(settings, "Update All (2)"), nullptr);
            EXPECT_TRUE(button(settings, "Update All (2)")->isEnabled());
            ASSERT_NE(button(main, "Update All"), nullptr);
            EXPECT_TRUE(button(main, "Update All")->isEnabled());
        }
    }
    Appearance::apply(std::nullopt);
    // Update All goes for the box's two updates alone (nothing answers for the box here, so it stops at the first).
    setUpdates({.appUpdate = app, .boxUpdates = {{"host", "1.1"}, {"agent", "0.9"}}, .appUpdateObstacle = advice});
    std::vector<std::string> steps;
    const auto watching = QObject::connect(&box->updates(), &UpdateManager::changed, &box->updates(), [&] {
        if (box->updates().batchStep()) steps.push_back(*box->updates().batchStep());
    });
    button(settings, "Update All (2)")->click();
    QObject::disconnect(watching);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.front(), "1 of 2");
}

// A text cut after its lines ends in an ellipsis and offers the whole as its tool tip; one that fits has none.
TEST_F(UpdateBannerTest, ACutTextEndsInAnEllipsisAndOffersTheWhole) {
    TextLines lines(2);
    lines.resize(200, 100);
    lines.setText(QString(40, 'a') + " " + QString(400, 'b'));
    const QStringList shown = lines.lines(200);
    ASSERT_EQ(shown.size(), 2);
    EXPECT_TRUE(shown.back().endsWith(QChar(0x2026)));
    EXPECT_LE(lines.fontMetrics().horizontalAdvance(shown.back()), 200);
    EXPECT_FALSE(lines.toolTip().isEmpty());
    lines.setText("short\ntwo");
    EXPECT_EQ(lines.lines(200), QStringList({"short", "two"}));
    EXPECT_TRUE(lines.toolTip().isEmpty());
    lines.setText("one\ntwo\nthree");
    EXPECT_EQ(lines.lines(200).back(), QString("two") + QChar(0x2026));
    EXPECT_FALSE(lines.toolTip().isEmpty());
    lines.setMaxLines(0);
    EXPECT_EQ(lines.lines(200), QStringList({"one", "two", "three"}));
    EXPECT_TRUE(lines.toolTip().isEmpty());
}

TEST(BoxStatusCardTest, TilesFooterDurationAndPercentBar) {
    constexpr std::uint64_t GiB = 1ull << 30;
    // Each tile as "label value fill", then the footer.
    const auto shown = [](const AgentClient::BoxStatus& status) {
        std::string result;
        for (const auto& tile : BoxStatusCard::tiles(status)) {
            char fill[32];
            std::snprintf(fill, sizeof fill, "%.3g", tile.fraction);
            result += tile.label + " " + tile.value + " " + fill + "; ";
        }
        return result + BoxStatusCard::footer(status);
    };
    const struct { AgentClient::BoxStatus status; const char* shown; } rows[] = {
        {{.cpuName = {}, .gpuName = "", .cpuPercent = 99.5, .gpuPercent = {}, .memoryUsed = GiB / 2, .memoryTotal = GiB * 3 / 2,
          .diskFree = static_cast<std::uint64_t>(250.4 * GiB), .diskTotal = 1000 * GiB, .temperatureC = {}, .uptimeSeconds = 3600},
         "Processor 100% 0.995; Memory 0.5 GB of 2 GB 0.333; Storage 250 GB free 0.75; on for 1 h 0 min"},
        // Halves away from zero; a load that is no whole percent reads "-" over an empty bar; no total, no fill
        // (and more used than a total of 0 is no figure).
        {{.cpuName = {}, .gpuName = "RTX", .cpuPercent = 12.5, .gpuPercent = 1e300, .memoryUsed = 8 * GiB, .memoryTotal = 0,
          .diskFree = 0, .diskTotal = 0, .temperatureC = 64.5, .uptimeSeconds = 59},
         "Graphics - 0; Processor 13% 0.125; Memory - 0; Storage 0 GB free 0; RTX  \u00b7  65\u00b0C  \u00b7  on for 0 min"},
        // Above 100 its number (the bar clamps it); below zero no reading.
        {{.cpuName = {}, .gpuName = {}, .cpuPercent = -5, .gpuPercent = 250, .memoryUsed = 0, .memoryTotal = GiB,
          .diskFree = GiB, .diskTotal = GiB, .temperatureC = {}, .uptimeSeconds = 0},
         "Graphics 250% 2.5; Processor - 0; Memory 0.0 GB of 1 GB 0; Storage 1 GB free 0; on for 0 min"},
    };
    for (const auto& row : rows) EXPECT_EQ(shown(row.status), row.shown);
    const std::pair<std::uint64_t, const char*> durations[] = {{59, "0 min"}, {3599, "59 min"}, {3600, "1 h 0 min"},
        {172799, "47 h 59 min"}, {172800, "2 days"}, {259199, "2 days"}, {259200, "3 days"}};
    for (const auto& [seconds, text] : durations) EXPECT_EQ(BoxStatusCard::duration(seconds), text) << seconds;
    // A percent bar rounds halves away from zero and clamps.
    test::uiApp();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct { double value; int percent; int fill; } bars[] = {{0.125, 13, 125}, {0.994, 99, 994}, {0.995, 100, 995},
                                                                     {1.7, 100, 1000}, {-0.2, 0, 0}, {0, 0, 0}, {nan, 0, 0}};
    PercentBar bar;
    for (const auto& row : bars) {
        bar.setValue(row.value);
        EXPECT_EQ(bar.text(), QString::number(row.percent) + "%") << row.value;
        EXPECT_EQ(bar.fill(), row.fill) << row.value;
    }
}

// A box at full load may report a little over 100: the card shows that number over a full orange bar, and
// "-" over an empty one only for what cannot be printed as a whole percent.
TEST(BoxStatusCardTest, ALoadAbove100ShowsItsNumberOverAFullBar) {
    test::uiApp();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const struct { double load; const char* value; int fill; Tint tint; } rows[] = {
        {250, "250%", 1000, Tint::orange}, {100.5, "101%", 1000, Tint::orange}, {99.5, "100%", 995, Tint::orange},
        {1e15, "1000000000000000%", 1000, Tint::orange}, {nan, "-", 0, Tint::accent}, {inf, "-", 0, Tint::accent},
        {-inf, "-", 0, Tint::accent}, {1e300, "-", 0, Tint::accent}, {-5, "-", 0, Tint::accent},
        {-0.4, "0%", 0, Tint::accent}, {42, "42%", 420, Tint::accent},
    };
    BoxStatusCard card;
    for (const auto& row : rows) {
        card.show({.cpuName = {}, .gpuName = {}, .cpuPercent = row.load, .gpuPercent = {}, .memoryUsed = 0,
                   .memoryTotal = 0, .diskFree = 0, .diskTotal = 0, .temperatureC = {}, .uptimeSeconds = 0});
        EXPECT_EQ(card.findChild<QLabel*>("value")->text().toStdString(), row.value) << row.load;
        const auto* bar = card.findChild<QProgressBar*>();
        EXPECT_EQ(bar->value(), row.fill) << row.load;
        EXPECT_EQ(bar->palette().color(QPalette::Highlight), tintColor(row.tint)) << row.load;
    }
}

// A figure no box can have reads "-" in the main window's card as in the overlay, by one rule: a temperature
// outside -273...1000 °C, more memory used (or storage free) than there is in all.
TEST(BoxStatusCardTest, AFigureNoBoxCanHaveReadsADashInTheCardAsInTheOverlay) {
    test::uiApp();
    constexpr std::uint64_t GiB = 1ull << 30;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ManualClock clock;
    AppPool pool;
    StatsOverlay overlay(clock, pool);
    const struct {
        double temperature;
        std::uint64_t used, total, free, disk;
        const char* card;  // memory; storage; the footer's temperature
        const char* overlay;
    } rows[] = {
        {-1e9, 16 * GiB, 32 * GiB, GiB, 2 * GiB, "16.0 GB of 32 GB; 1 GB free; -", "CPU 10%, - \u00b0C"},
        {-273.4, ~0ull, 0, GiB, GiB, "-; 1 GB free; -273\u00b0C", "CPU 10%, -273 \u00b0C"},
        {1000.4, 32 * GiB, 32 * GiB, 2 * GiB, GiB, "32.0 GB of 32 GB; -; 1000\u00b0C", "CPU 10%, 1000 \u00b0C"},
        {1000.5, 32 * GiB + 1, 32 * GiB, 0, 0, "-; 0 GB free; -", "CPU 10%, - \u00b0C"},
        {nan, 0, 0, 0, 0, "0.0 GB of 0 GB; 0 GB free; -", "CPU 10%, - \u00b0C"},
    };
    for (const auto& row : rows) {
        const AgentClient::BoxStatus status{.cpuName = {}, .gpuName = {}, .cpuPercent = 10, .gpuPercent = {},
                                            .memoryUsed = row.used, .memoryTotal = row.total, .diskFree = row.free,
                                            .diskTotal = row.disk, .temperatureC = row.temperature, .uptimeSeconds = 0};
        const auto tiles = BoxStatusCard::tiles(status);
        const std::string footer = BoxStatusCard::footer(status);
        const std::string card = tiles.at(1).value + "; " + tiles.at(2).value + "; " + footer.substr(0, footer.find("  \u00b7  "));
        EXPECT_EQ(card, row.card) << row.temperature;
        if (tiles.at(1).value == "-") { EXPECT_EQ(tiles.at(1).fraction, 0) << row.temperature; }
        if (tiles.at(2).value == "-") { EXPECT_EQ(tiles.at(2).fraction, 0) << row.temperature; }
        overlay.setBoxStatus(status);
        EXPECT_EQ(StatsCard::box(overlay), row.overlay) << row.temperature;
    }
}

} // namespace
} // namespace corvane
