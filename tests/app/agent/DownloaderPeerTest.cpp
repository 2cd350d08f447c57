#include "app/services/agent/Downloader.hpp"

#include "app/services/agent/AgentClient.hpp"
#include "tests/app/agent/PythonServer.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DownloaderPeerTest, FromPythonsHttpServer) {
    test::TempDir served, saved;
    std::string content(2 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 31) >> 3);
    std::ofstream(served.path() / "Corvane 1.2.zip", std::ios::binary) << content;

    const std::string address = test::uniqueLoopbackAddress();
    const test::PythonServer server(
        {"-m", "http.server", "--bind", address, "--directory", served.path().string(), "8080"}, address, 8080);
    const std::string base = "http://" + address + ":8080/";

    std::vector<std::optional<double>> reports;
    const auto placed = Downloader::download(base + "Corvane%201.2.zip", saved.path() / "update.zip",
                                             [&](std::optional<double> f) { reports.push_back(f); });
    EXPECT_EQ(placed, saved.path() / "update.zip");
    EXPECT_EQ(readFile(placed), content);
    // Progress: known size, rising in steps of at least 0.005, ending with 1.0 once the file is in place.
    ASSERT_GE(reports.size(), 2u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        ASSERT_TRUE(reports[i]);
        if (i > 0 && *reports[i] < 1.0) {
            EXPECT_GE(*reports[i] - *reports[i - 1], 0.005);
        }
    }
    EXPECT_EQ(*reports.back(), 1.0);
    EXPECT_LE(reports.size(), 203u);

    try {
        Downloader::download(base + "missing.zip", saved.path() / "missing.zip", nullptr);
        ADD_FAILURE() << "no failure";
    } catch (const Downloader::DownloadError& error) {
        EXPECT_STREQ(error.what(), "The server answered with error 404.");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(saved.path()), fs::directory_iterator()), 1);
}

TEST(DownloaderPeerTest, SendsItsUserAgent) {
    test::TempDir saved;
    const std::string address = test::uniqueLoopbackAddress();
    const test::PythonServer server({"-c", test::kEchoServer, address, "8080"}, address, 8080);

    const auto normal = Downloader::download("http://" + address + ":8080/feed", saved.path() / "a.json", nullptr);
    EXPECT_EQ(nlohmann::json::parse(readFile(normal))["userAgent"], "Corvane");

    const AgentClient client(address, 8080);
    const auto direct = Downloader::downloadDirect(client.userURL({"outbox", "1", "file"}, {{"path", "a b"}}),
                                                   saved.path() / "b.json", nullptr);
    const auto echoed = nlohmann::json::parse(readFile(direct));
    EXPECT_EQ(echoed["userAgent"], "Corvane");
    EXPECT_EQ(echoed["query"]["path"], nlohmann::json::array({"a b"}));
}

} // namespace
} // namespace corvane
