#include "app/ui/BoxStatusCard.hpp"
#include "app/ui/PercentBar.hpp"
#include "app/ui/UpdateBanner.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <QLayout>
#include <QPushButton>

namespace corvane {
namespace {

using Status = UpdateManager::Status;
using State = UpdateManagerProbe::State;

class UpdateBannerTest : public test::UiFixture {
protected:
    std::vector<std::string> titles() {
        std::vector<std::string> result;
        for (const auto& row : UpdateBanner::rows(box->updates())) result.push_back(row.title);
        return result;
    }
};

TEST_F(UpdateBannerTest, PrecedenceDecidesTheRows) {
    const UpdateManager::AppUpdate app{"2.0", std::nullopt, {}};
    const std::vector<UpdateManager::BoxUpdate> two{{"gamepad", "1.2"}, {"foo", "1.2"}};
    struct Row { const char* name; State state; std::vector<std::string> titles; bool padded; };
    const Row rows[] = {
        {"nothing", {}, {}, false},
        {"updating hides waiting ones",
         {.status = Status::updating("Downloading..."), .batchStep = "2 of 3", .appUpdate = app, .boxUpdates = two},
         {"Updating (2 of 3)"}, true},
        {"failure", {.status = Status::failed("no"), .appUpdate = app}, {"Update failed"}, true},
        {"manual check", {.status = Status::checking(), .showResult = true, .appUpdate = app},
         {"Checking for updates..."}, true},
        {"automatic check keeps the list", {.status = Status::checking(), .appUpdate = app}, {"Corvane 2.0 is available"}, false},
        {"all waiting",
         {.appUpdate = app, .boxUpdates = two, .boxNeedsSetup = true},
         {"3 updates are available", "Corvane 2.0 is available", "Controller driver 1.2 is available", "foo 1.2 is available",
          "Box software needs a one-time update"},
         true},
        {"setup alone has no padding", {.boxNeedsSetup = true}, {"Box software needs a one-time update"}, false},
        {"up to date", {.status = Status::upToDate(), .showResult = true}, {"Corvane is up to date"}, true},
        {"up to date after OK", {.status = Status::upToDate()}, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        setUpdates(row.state);
        EXPECT_EQ(titles(), row.titles);
        EXPECT_EQ(UpdateBanner::hasContent(box->updates()), row.padded);
    }
}

TEST_F(UpdateBannerTest, ButtonsAndDetails) {
    setUpdates({.appUpdate = UpdateManager::AppUpdate{"2.0", std::nullopt, {}}});
    auto rows = UpdateBanner::rows(box->updates());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(*rows[0].detail, "You have " + box->updates().currentVersion() + ".");
    EXPECT_TRUE(rows[0].buttons.at(0).prominent);  // one pending update: its button leads
    setUpdates({.appUpdate = UpdateManager::AppUpdate{"2.0", "Faster.", {}}, .boxUpdates = {{"agent", "0.9"}}});
    rows = UpdateBanner::rows(box->updates());
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(rows[0].buttons.at(0).title == "Update All" && rows[0].buttons.at(0).prominent);
    EXPECT_TRUE(*rows[1].detail == "Faster." && !rows[1].buttons.at(0).prominent);
    EXPECT_EQ(rows[2].title, "Box software 0.9 is available");
    setUpdates({.status = Status::updating("x"), .progress = 0.5});
    rows = UpdateBanner::rows(box->updates());
    EXPECT_TRUE(!rows[0].spinner && *rows[0].progress == 0.5);
    setUpdates({.status = Status::updating("x")});
    EXPECT_TRUE(UpdateBanner::rows(box->updates())[0].spinner);
    // Dismiss reaches the manager: the failure row goes.
    setUpdates({.status = Status::failed("Disk full.")});
    UpdateBanner banner(box->updates());
    auto buttons = banner.findChildren<QPushButton*>();
    ASSERT_TRUE(buttons.size() == 1 && buttons[0]->text() == "Dismiss");
    buttons[0]->click();
    EXPECT_EQ(box->updates().status(), Status::idle());
    EXPECT_TRUE(UpdateBanner::rows(box->updates()).empty());
}

TEST(BoxStatusCardTest, TilesAndFooter) {
    constexpr std::uint64_t GiB = 1ull << 30;
    AgentClient::BoxStatus status{.cpuName = {}, .gpuName = "", .cpuPercent = 99.5, .gpuPercent = {}, .memoryUsed = GiB / 2,
                                  .memoryTotal = GiB * 3 / 2, .diskFree = static_cast<std::uint64_t>(250.4 * GiB),
                                  .diskTotal = 1000 * GiB, .temperatureC = {}, .uptimeSeconds = 3600};
    auto tiles = BoxStatusCard::tiles(status);
    ASSERT_EQ(tiles.size(), 3u);
    EXPECT_TRUE(tiles[0].label == "Processor" && tiles[0].value == "100%" && std::abs(tiles[0].fraction - 0.995) < 1e-12);
    EXPECT_TRUE(tiles[1].value == "0.5 GB of 2 GB" && tiles[2].value == "250 GB free");
    EXPECT_EQ(BoxStatusCard::footer(status), "on for 1 h 0 min");
    status.gpuPercent = 1e300;  // rounding leaves the 64-bit range
    status.gpuName = "RTX", status.temperatureC = 64.5, status.memoryTotal = status.diskTotal = 0;
    tiles = BoxStatusCard::tiles(status);
    ASSERT_EQ(tiles.size(), 4u);
    EXPECT_TRUE(tiles[0].label == "Graphics" && tiles[0].value == "-" && tiles[2].fraction == 0 && tiles[3].fraction == 0);
    EXPECT_EQ(BoxStatusCard::footer(status), "RTX  \u00b7  65\u00b0C  \u00b7  on for 1 h 0 min");
}

TEST(PercentBarTest, RoundsAndClamps) {
    test::uiApp();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Row { double value; int percent; int fill; };
    const Row rows[] = {{0.125, 13, 125}, {0.994, 99, 994}, {0.995, 100, 995}, {1.7, 100, 1000},
                        {-0.2, 0, 0},     {0, 0, 0},        {nan, 0, 0}};
    PercentBar bar;
    for (const Row& row : rows) {
        bar.setValue(row.value);
        EXPECT_EQ(bar.text(), QString::number(row.percent) + "%") << row.value;
        EXPECT_EQ(bar.fill(), row.fill) << row.value;
    }
}

} // namespace
} // namespace corvane
