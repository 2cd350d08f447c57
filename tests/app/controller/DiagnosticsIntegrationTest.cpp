#include "app/controller/Diagnostics.hpp"

#include "app/controller/BoxController.hpp"
#include "boxsim/Box.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "tests/app/ui/UiTestSupport.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoroTask>

#include <fstream>
#include <sstream>

namespace corvane {
namespace {

std::string lines(int from, int to) {
    std::string text;
    for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + (i < to ? "\n" : "");
    return text;
}

// The report against a simulated box: what the box part says for each answer of the agent, and the build
// log's tail beside the source folder.
class DiagnosticsTest : public ::testing::Test {
protected:
    DiagnosticsTest() {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            setenv(name, (dir.path() / name).c_str(), 1);
        setenv("CORVANE_BOX_ADDRESS", address.c_str(), 1);
        boxsim::Box::Options options;
        options.address = address;
        simulated = std::make_unique<boxsim::Box>(options);
        simulated->start();
        box = std::make_unique<BoxController>(BoxController::Environment{
            clock, pool, std::make_shared<platform::UserDefaults>(dir.path() / "defaults.json"),
            std::make_unique<test::NoCable>(), dir.path() / "keys"});
        box->autostartConfigHome = dir.path() / "config";
    }
    ~DiagnosticsTest() override {
        box.reset();
        simulated->stop();
        unsetenv("CORVANE_SOURCE_DIR");
    }
    std::string report() { return QCoro::waitFor(Diagnostics::report(*box)); }
    void setBox(const BoxControllerProbe::State& state) { BoxControllerProbe::apply(*box, state); }

    static inline int argc = 1;
    static inline char name[] = "test";
    static inline char* argv[] = {name, nullptr};
    const bool offscreen = setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;
    QApplication app{argc, argv};
    test::TempDir dir;
    const std::string address = test::uniqueLoopbackAddress();
    ManualClock clock;
    AppPool pool;
    std::unique_ptr<boxsim::Box> simulated;
    std::unique_ptr<BoxController> box;
};

TEST_F(DiagnosticsTest, LinesInOrderAndTheBoxPartForEachAnswer) {
    const std::string text = report();
    std::istringstream in(text);
    std::vector<std::string> got;
    for (std::string line; std::getline(in, line) && got.size() < 19;) got.push_back(line);
    const std::vector<std::string> starts = {
        "Corvane diagnostics, 2026-12-06T18:00:00Z", "", "===== Mac =====", "Model: ", "Linux: ", "Corvane: ",
        "Streaming engine: built in, ", "Status: starting", "Link: up=false boxFound=false paired=false",
        "Thunderbolt address: none", "IPv4 addresses: ", "Screen Recording allowed: true",
        "Accessibility allowed: true", "Open at login: false", "Controllers: none",
        "Known box network addresses for wake: 0", "Settings: StreamSettings(", "",
        "===== Thunderbolt Bridge (ip address show dev thunderbolt"};
    ASSERT_EQ(got.size(), starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) EXPECT_TRUE(got[i].starts_with(starts[i])) << got[i];
    EXPECT_EQ(got[0], starts[0]);
    EXPECT_NE(text.find("\n\n===== Corvane log (last 400 lines) =====\n"), std::string::npos);
    EXPECT_EQ(text.find("===== Last build"), std::string::npos);  // no source folder known

    // No box: no request reaches the agent.
    const std::string noBox = "\n\n===== Box =====\nThe box is not connected, so only Mac details are included.";
    EXPECT_TRUE(text.ends_with(noBox));
    EXPECT_TRUE(simulated->agent().seen("GET /v1/diagnostics").empty());

    AgentClient::Info info;
    info.agentVersion = "1.2.0";
    const struct {
        std::optional<int> status;
        std::optional<AgentClient::Info> info;
        std::string ending;
    } rows[] = {
        {std::nullopt, info, "===== Box =====\nCorvane Host diagnostics\nbox: corvane-box\nagent: 0.3.0\n"},
        {404, info, "===== Box =====\nThe box software (1.2.0) is too old to report diagnostics."},
        {405, std::nullopt, "===== Box =====\nThe box software (old version) is too old to report diagnostics."},
        {500, info, "===== Box =====\nCould not read the box's diagnostics: "},
    };
    for (const auto& row : rows) {
        setBox({.boxFound = true, .boxInfo = row.info});
        if (row.status) simulated->agent().script("GET /v1/diagnostics", {*row.status, "{}"});
        const std::string got = report();
        const auto at = got.rfind("===== Box =====");
        ASSERT_NE(at, std::string::npos);
        EXPECT_TRUE(got.substr(at).starts_with(row.ending)) << got.substr(at);
    }
    EXPECT_EQ(simulated->agent().seen("GET /v1/diagnostics").size(), 4u);
}

TEST_F(DiagnosticsTest, BuildLogBesideTheSourceFolderShowsItsLastSixtyPieces) {
    setenv("CORVANE_SOURCE_DIR", (dir.path() / "corvane").c_str(), 1);
    const struct {
        std::string log, shown;
    } rows[] = {
        {lines(1, 10), lines(1, 10)},
        {lines(1, 100), lines(41, 100)},
        {lines(1, 100) + "\n", lines(42, 100) + "\n"},  // the last, empty piece counts
    };
    for (const auto& row : rows) {
        std::ofstream(dir.path() / "build.log", std::ios::trunc) << row.log;
        const std::string text = report();
        const std::string section = "\n\n===== Last build (build.log, last 60 lines) =====\n" + row.shown + "\n\n===== Box =====";
        EXPECT_NE(text.find(section), std::string::npos) << text.substr(text.rfind("=====", text.size() - 60));
    }
}

} // namespace
} // namespace corvane
