#pragma once

#include "app/services/agent/AgentClient.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvane {

// Where one outbox item of the box lands in the receive folder. The box's paths are untrusted: a part
// that is "." or "..", or holds NUL or another control character, never reaches the disk, so nothing is
// ever written outside the folder. A part longer than a name may be here is shortened to fit, keeping its
// extension. Only the top-level names get names of their own here (never an existing one); everything
// below a fresh top-level folder is new by construction.
struct ReceivePlan {
    std::filesystem::path folder;
    std::vector<std::string> topNames;             // the item's own top-level names, first seen first
    std::map<std::string, std::string> macNames;   // top-level name -> the name it gets in the folder
    std::set<std::string> folderTops;              // top-level names that are folders
    std::int64_t total = 1;                        // the stated total, at least 1
    std::string what;                              // "report.pdf", "3 items", "0 items"

    // What the user reads once the item is saved: the pill's line and the notice's title and body.
    struct Saved {
        std::string pill, noticeTitle, noticeBody;
    };
    Saved saved() const;

    // Names chosen against what stands in `folder` now.
    static ReceivePlan make(const AgentClient::OutboxItem& item, const std::filesystem::path& folder);

    // The file or folder a Windows path of this item lands at, or nothing when it must not be written.
    std::optional<std::filesystem::path> destination(const std::string& windowsPath) const;
    // The item's files and folders that have no destination, in the item's order.
    std::vector<std::string> leftOut(const AgentClient::OutboxItem& item) const;
    // What the user reads about them: "\"a/../b\" has a name ..." (box text escaped and cut).
    static std::string describeLeftOut(const std::vector<std::string>& paths);
    // The first of `paths`, as describeLeftOut names it (between its quotes).
    static std::string leftOutName(const std::vector<std::string>& paths);
    // Makes the top-level folders under fresh names (a name taken meanwhile moves on to the next free one)
    // and every folder of `dirs` that has a destination. Blocking; throws corvane::Error.
    void makeFolders(const std::vector<std::string>& dirs);

    // `name` (shortened to fit) when neither taken nor present in `folder` (a dangling link counts as
    // present), else the first free "<base> <n>.<ext>" / "<name> <n>" for n = 2, 3, ...
    static std::string uniqueName(const std::string& name, const std::filesystem::path& folder,
                                  const std::set<std::string>& taken);
    // A path part that may be written: not empty, ".", "..", nor holding a control character.
    static bool safePart(const std::string& part);
    // The "/"-separated non-empty parts of a Windows path.
    static std::vector<std::string> parts(const std::string& windowsPath);

    // a + b, held at the largest value; sizes below 0 count as 0.
    static std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
    // (done + fraction of size) / total, kept in 0...1.
    static double progress(std::int64_t total, std::int64_t done, double fraction, std::int64_t size);
};

} // namespace corvane
