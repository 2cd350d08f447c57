#include "app/services/agent/Downloader.hpp"

#include "tests/app/agent/PythonServer.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace corvane {
namespace {

namespace fs = std::filesystem;

TEST(DownloaderPeerTest, FromPythonsHttpServer) {
    test::TempDir served, saved;
    std::string content(2 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 31) >> 3);
    std::ofstream(served.path() / "Corvane 1.2.zip", std::ios::binary) << content;
    const std::string address = test::uniqueLoopbackAddress();
    const test::PythonServer server(
        {"-m", "http.server", "--bind", address, "--directory", served.path().string(), "8080"}, address, 8080);
    const std::string base = "http://" + address + ":8080/";

    // A third party's idea of the name's escape and of the length; the file arrives whole under its own name.
    const auto placed = Downloader::download(base + "Corvane%201.2.zip", saved.path() / "update.zip", nullptr);
    EXPECT_EQ(placed, saved.path() / "update.zip");
    EXPECT_EQ(test::readWhole(placed), content);
    EXPECT_THROW(Downloader::download(base + "missing.zip", saved.path() / "missing.zip", nullptr),
                 Downloader::DownloadError);
    EXPECT_EQ(std::distance(fs::directory_iterator(saved.path()), fs::directory_iterator()), 1);
}

} // namespace
} // namespace corvane
