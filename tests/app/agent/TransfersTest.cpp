#include "app/services/agent/AgentClient.hpp"
#include "app/services/agent/Downloader.hpp"
#include "app/services/agent/Uploader.hpp"
#include "tests/support/TestSupport.hpp"
#include <gtest/gtest.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::HttpRequest;

// Stands in for the HTTP layer: records the request and plays a reply into the receiver.
struct FakeReply {
    long status;
    std::optional<std::uint64_t> announced;
    std::vector<std::string> pieces;
    std::vector<HttpRequest> seen = {};
    std::size_t endless = 0, taken = 0;  // pieces of 64 KiB after `pieces`, as long as the receiver takes them
    platform::Http::Transport transport() {
        return [this](const HttpRequest& request, std::stop_token, const platform::HttpReceiver* receiver) {
            seen.push_back(request);
            if (request.onSent) request.onSent(5);
            receiver->onHead(status, announced);
            for (const auto& piece : pieces)
                receiver->onBody(ByteView(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()));
            const std::string filler(0x10000, 'e');
            for (; taken < endless; ++taken)
                receiver->onBody(ByteView(reinterpret_cast<const std::uint8_t*>(filler.data()), filler.size()));
            return platform::HttpResponse{status, {}};
        };
    }
};

std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

TEST(DownloaderTest, OnlyAWholeBodyIsPlaced) {
    // Whether straight from the box, the size the outbox says, the reply, and the file's content or the error.
    const struct { bool direct; std::optional<std::int64_t> expected; FakeReply reply; std::string outcome; } rows[] = {
        {true, 10, {200, 10, {"hello", "world"}}, "helloworld"},
        {true, -5, {200, std::nullopt, {}}, ""},
        {false, std::nullopt, {200, std::nullopt, {"any", "size"}}, "anysize"},
        {true, 100, {200, std::nullopt, {std::string(50, 'x')}}, "The download ended after 50 of 100 bytes."},
        {false, std::nullopt, {200, 5, {"abc"}}, "The download ended after 3 of 5 bytes."},
        {true, 100, {200, 200, {}}, "The download is larger than the 100 bytes expected."},
        {true, 100, {200, std::nullopt, {std::string(60, 'x'), std::string(60, 'x')}},
         "The download is larger than the 100 bytes expected."},
        {true, std::nullopt, {206, 7, {"partial"}}, "The server answered with error 206."},
        {true, std::nullopt, {204, std::nullopt, {}}, "The server answered with error 204."},
        {false, std::nullopt, {404, std::nullopt, {"gone"}}, "The server answered with error 404."},
    };
    for (auto row : rows) {
        test::TempDir folder;
        std::string outcome;
        try {
            const auto placed = row.direct ? Downloader::downloadDirect(AgentClient("10.77.0.1", 47800).userURL({"x"}),
                                                                        folder.path() / "f", nullptr, {}, row.expected,
                                                                        row.reply.transport())
                                           : Downloader::download("https://example.org/f", folder.path() / "f", nullptr,
                                                                  {}, row.reply.transport());
            outcome = test::readWhole(placed);
            EXPECT_EQ(namesIn(folder.path()), std::set<std::string>{"f"});
        } catch (const Downloader::DownloadError& error) {
            outcome = error.what();
            EXPECT_TRUE(namesIn(folder.path()).empty()) << outcome;
        }
        EXPECT_EQ(outcome, row.outcome);
    }
}

// Received files never replace what is there: on this machine, then on a file system without the
// no-replace rename, then on one without hard links either (FUSE mounts).
TEST(DownloaderTest, PlacingNeverReplacesOnAnyFileSystem) {
    const auto refused = [](const char*, const char*) { return errno = EINVAL, -1; };
    const Downloader::PlacementCalls noRename{refused, Downloader::systemCalls().link};
    const Downloader::PlacementCalls neither{refused, [](const char*, const char*) { return errno = EPERM, -1; }};
    for (const auto& calls : {Downloader::systemCalls(), noRename, neither}) {
        test::TempDir dir;
        std::ofstream(dir.path() / "report.pdf") << "mine";
        std::ofstream(dir.path() / "report 2.pdf") << "mine too";
        for (const char* content : {"first", "second"}) {
            std::ofstream(dir.path() / ".part") << content;
            (void)Downloader::place(dir.path() / ".part", dir.path() / "report.pdf", calls);
        }
        EXPECT_EQ(test::readWhole(dir.path() / "report.pdf"), "mine");
        EXPECT_EQ(test::readWhole(dir.path() / "report 2.pdf"), "mine too");
        EXPECT_EQ(test::readWhole(dir.path() / "report 3.pdf"), "first");
        EXPECT_EQ(test::readWhole(dir.path() / "report 4.pdf"), "second");
        EXPECT_EQ(namesIn(dir.path()).size(), 4u);  // no temporary file and no reservation left
    }
    EXPECT_EQ(Downloader::numberedName("/d/archive.tar.gz", 3), fs::path("/d/archive.tar 3.gz"));
    EXPECT_EQ(Downloader::numberedName("/d/Photos", 2), fs::path("/d/Photos 2"));
}

TEST(DownloaderTest, RequestsAndProgress) {
    test::TempDir folder;
    FakeReply known{200, 1000, std::vector<std::string>(1000, "x")};
    std::vector<double> reports;
    const auto record = [&](std::optional<double> f) { reports.push_back(f.value_or(-1)); };
    Downloader::download("https://example.org/Corvane.zip", folder.path() / "a", record, {}, known.transport());
    // Reported in steps of at least 0.005, then 1.0 once more when the file is in place.
    ASSERT_GE(reports.size(), 150u);
    EXPECT_LE(reports.size(), 202u);
    EXPECT_EQ(reports[0], 0.001);
    for (std::size_t i = 1; i + 2 < reports.size(); ++i) EXPECT_GE(reports[i] - reports[i - 1], 0.005 - 1e-12);
    EXPECT_EQ(reports.end()[-2], 1.0);
    EXPECT_EQ(reports.back(), 1.0);
    FakeReply unknown{200, std::nullopt, {"a", "b", "c"}};
    reports.clear();
    auto direct = AgentClient("10.77.0.1", 47800).userURL({"outbox", "7", "file"}, {{"path", "a b"}});
    Downloader::downloadDirect(direct, folder.path() / "b", record, {}, std::nullopt, unknown.transport());
    EXPECT_EQ(reports, (std::vector<double>{-1, 1.0}));  // nothing known: one report of nothing
    using Headers = std::vector<std::pair<std::string, std::string>>;
    const HttpRequest& normal = known.seen.at(0);
    EXPECT_EQ(normal.url, "https://example.org/Corvane.zip");
    const auto seen = [](const HttpRequest& r) {
        return std::tuple(r.method, r.followRedirects, r.idleTimeoutSeconds, r.timeoutSeconds, r.headers);
    };
    EXPECT_EQ(seen(normal), std::tuple(std::string("GET"), true, 60.0, 604800.0, Headers{{"User-Agent", "Corvane"}}));
    const HttpRequest& sent = unknown.seen.at(0);
    EXPECT_EQ(platform::Http::url(sent), "http://10.77.0.1:47800/v1/user/outbox/7/file?path=a%20b");
    EXPECT_EQ(seen(sent), std::tuple(std::string("GET"), false, 120.0, 604800.0, Headers{{"User-Agent", "Corvane"}}));
    EXPECT_EQ(test::failureOf<Downloader::DownloadError>([&] {
                  Downloader::download("https://example.org/f", folder.path() / "gone" / "f", nullptr, {}, known.transport());
              }),
              "Could not save " + (folder.path() / "gone").string() + ": No such file or directory");
}

TEST(UploaderTest, SendsTheFileAsTheCallerPreparedIt) {
    test::TempDir folder;
    std::ofstream(folder.path() / "f") << "hello";
    auto request = AgentClient("10.77.0.1", 47800).userURL({"drop", "T1", "file"}, {{"path", "f"}});
    request.method = "PUT";
    request.headers = {{"Content-Type", "application/octet-stream"}};
    const std::string text(5000, 'e');
    const std::string json = R"({"error":")" + text + "\"}";
    const auto pieces = [](const std::string& whole, std::vector<std::size_t> sizes) {
        std::vector<std::string> out;
        std::size_t at = 0;
        for (const auto size : sizes) out.push_back(whole.substr(std::exchange(at, at + size), size));
        out.push_back(whole.substr(at));
        return out;
    };
    const struct { long status; std::string body, outcome; std::vector<std::string> pieces = {}; std::size_t endless = 0; } rows[] = {
        {201, "", "no error"},
        {204, "", "no error"},
        {500, R"({"error":"disk full"})", "Box answered 500: disk full"},
        {413, "<html>Too large</html>", "Box answered 413: upload failed"},
        {0, "", "Box answered 0: upload failed"},
        {500, json, "Box answered 500: " + text},                              // one piece: kept whole
        {500, "", "Box answered 500: upload failed", pieces(json, {4095, 10})},  // the third piece dropped
        {500, "", "Box answered 500: upload failed", {}, 1u << 20},           // 64 GiB: reading it all is the fault
    };
    for (const auto& row : rows) {
        FakeReply reply{row.status, std::nullopt, row.pieces.empty() ? std::vector{row.body} : row.pieces};
        reply.endless = row.endless;
        std::vector<std::int64_t> sent;
        EXPECT_EQ(test::failureOf<AgentClient::AgentError>([&] {
                      Uploader::upload(request, folder.path() / "f", [&](std::int64_t n) { sent.push_back(n); }, {},
                                       reply.transport());
                  }),
                  row.outcome);
        EXPECT_LE(reply.taken, 1u);
        EXPECT_EQ(sent, std::vector<std::int64_t>{5});
        const HttpRequest& made = reply.seen.at(0);
        EXPECT_EQ(std::tuple(made.method, made.bodyFile, made.idleTimeoutSeconds, made.timeoutSeconds, made.headers),
                  std::tuple(std::string("PUT"), folder.path() / "f", 120.0, 604800.0, request.headers));
    }
}

} // namespace
} // namespace corvane
