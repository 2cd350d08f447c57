#include "app/controller/Diagnostics.hpp"
#include "tests/app/controller/ControllerRig.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include <gtest/gtest.h>
#include <QFileDialog>
#include <fstream>
#include <sstream>

namespace corvane {
namespace {

std::string lines(int from, int to, const char* end = "") {
    std::string text;
    for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + (i < to ? "\n" : end);
    return text;
}

// The report against a simulated box: its lines, the box part for each answer of the agent, the tail of the
// build log beside the source folder; one save at a time.
TEST(DiagnosticsTest, LinesTheBoxPartForEachAnswerTheBuildLogAndOneSaveAtATime) {
    test::ControllerRig rig(std::make_unique<test::ScriptedCable>());
    rig.box->start();
    const auto report = [&] { return QCoro::waitFor(Diagnostics::report(*rig.controller)); };
    const std::string text = report();
    std::istringstream in(text);
    const std::vector<std::string> starts = {
        "Corvane diagnostics, 2026-12-06T18:00:00Z", "", "===== This computer =====", "Model: ", "Linux: ", "Corvane: ",
        "Streaming engine: built in, ", "Status: starting", "Link: up=false boxFound=false paired=false",
        "Thunderbolt address: none", "IPv4 addresses: ", "Open at login: false", "Controllers: none",
        "Known box network addresses for wake: 0", "Settings: StreamSettings(", "",
        "===== Thunderbolt Bridge (ip address show dev thunderbolt"};
    std::string line;
    for (const auto& start : starts) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_TRUE(line.starts_with(start)) << line;
    }
    EXPECT_NE(text.find("\n\n===== Corvane log (last 400 lines) =====\n"), std::string::npos);
    EXPECT_EQ(text.find("===== Last build"), std::string::npos);  // no source folder known
    // No box: no request reaches the agent.
    EXPECT_TRUE(text.ends_with("\n\n===== Box =====\nThe box is not connected, so only this computer's details are included."));
    EXPECT_TRUE(rig.box->agent().seen("GET /v1/diagnostics").empty());
    AgentClient::Info info;
    info.agentVersion = "1.2.0";
    const struct { std::optional<int> status; std::optional<AgentClient::Info> info; std::string ending; } rows[] = {
        {std::nullopt, info, "Corvane Host diagnostics\nbox: corvane-box\nagent: 0.3.0\n"},
        {404, info, "The box software (1.2.0) is too old to report diagnostics."},
        {405, std::nullopt, "The box software (old version) is too old to report diagnostics."},
        {500, info, "Could not read the box's diagnostics: "},
    };
    for (const auto& row : rows) {
        BoxControllerProbe::apply(*rig.controller, {.boxFound = true, .boxInfo = row.info});
        if (row.status) rig.box->agent().script("GET /v1/diagnostics", {*row.status, "{}"});
        const std::string got = report();
        EXPECT_NE(got.find("\n===== Box =====\n" + row.ending), std::string::npos) << got.substr(got.rfind("====="));
    }
    EXPECT_EQ(rig.box->agent().seen("GET /v1/diagnostics").size(), 4u);
    // The build log lies beside the source folder; its last 60 pieces, a final empty one included.
    setenv("CORVANE_SOURCE_DIR", (rig.dir.path() / "corvane").c_str(), 1);
    const std::pair<std::string, std::string> logs[] = {
        {lines(1, 10), lines(1, 10)}, {lines(1, 100), lines(41, 100)}, {lines(1, 100, "\n"), lines(42, 100, "\n")}};
    for (const auto& [log, shown] : logs) {
        std::ofstream(rig.dir.path() / "build.log", std::ios::trunc) << log;
        EXPECT_NE(report().find("\n\n===== Last build (build.log, last 60 lines) =====\n" + shown + "\n\n===== Box ====="),
                  std::string::npos) << shown.substr(0, 8);
    }
    unsetenv("CORVANE_SOURCE_DIR");
    // Two quick saves build one report for one panel; a request while it shows brings it forward.
    rig.box->agent().script("GET /v1/diagnostics", {200, "box", "text/plain", 1});
    const auto asked = rig.box->agent().seen("GET /v1/diagnostics").size();
    const auto panels = test::shownWindows<QFileDialog>;
    Diagnostics::save(*rig.controller);
    Diagnostics::save(*rig.controller);
    ASSERT_TRUE(QTest::qWaitFor([&] { return panels().size() == 1; }, 15000));
    Diagnostics::save(*rig.controller);
    QCoreApplication::processEvents();
    EXPECT_EQ(panels().size(), 1u);
    EXPECT_EQ(rig.box->agent().seen("GET /v1/diagnostics").size(), asked + 1);
    EXPECT_EQ(panels()[0]->windowTitle(), "Save Diagnostics");
    panels()[0]->reject();
}

// The report's headings name this computer's parts, in order, and no line speaks of a Mac or of the
// screen-recording and accessibility permissions this computer has no need of.
TEST(DiagnosticsTest, HeadingsNameThisComputerAndNoPermissionIsListed) {
    test::ControllerRig rig(std::make_unique<test::ScriptedCable>());
    const std::string text = QCoro::waitFor(Diagnostics::report(*rig.controller));
    std::vector<std::string> headings;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("=====")) headings.push_back(line.substr(0, line.find(" (ip address show dev ")));
        // The settings' stored names, the log and the commands' output are quoted as they are.
        if (headings.size() > 1 || line.starts_with("Settings: ")) continue;
        EXPECT_EQ(line.find("Mac"), std::string::npos) << line;
        EXPECT_FALSE(line.starts_with("Screen Recording") || line.starts_with("Accessibility")) << line;
    }
    EXPECT_EQ(headings, (std::vector<std::string>{"===== This computer =====", "===== Thunderbolt Bridge",
                                                  "===== Corvane log (last 400 lines) =====", "===== Box ====="}));
    EXPECT_TRUE(text.ends_with("\n===== Box =====\nThe box is not connected, so only this computer's details are included."));
}

} // namespace
} // namespace corvane
