#include "app/sharing/ReceivePlan.hpp"

#include "app/services/FileName.hpp"
#include "engine/Text.hpp"
#include "platform/core/Error.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include <sys/stat.h>

namespace corvane {

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// `fitted` when free, else the first free "<base> <n>.<ext>" ("<name> <n>" without extension) for n from
// `last` + 1, at least 2. `last` ends as the n returned (unchanged when `fitted` is), so the next search for
// the same name, while every name found taken is still taken, goes on where this one stopped.
template <class Free>
std::string firstFree(const std::string& fitted, int& last, const Free& free) {
    if (last == 0 && free(fitted)) return fitted;
    for (last = std::max(last, 1) + 1;; ++last) {
        auto candidate = FileName::withSuffix(fitted, " " + std::to_string(last));
        if (free(candidate)) return candidate;
    }
}

} // namespace

std::vector<std::string> ReceivePlan::parts(const std::string& windowsPath) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= windowsPath.size()) {
        auto end = windowsPath.find('/', start);
        if (end == std::string::npos) end = windowsPath.size();
        if (end > start) out.push_back(windowsPath.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool ReceivePlan::safePart(const std::string& part) {
    if (part.empty() || part == "." || part == "..") return false;
    return std::none_of(part.begin(), part.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

std::string ReceivePlan::uniqueName(const std::string& name, const fs::path& folder, const std::set<std::string>& taken) {
    int last = 0;
    return firstFree(FileName::fitted(name), last,
                     [&](const std::string& candidate) { return !taken.contains(candidate) && !present(folder / candidate); });
}

ReceivePlan ReceivePlan::make(const AgentClient::OutboxItem& item, const fs::path& folder) {
    ReceivePlan plan;
    plan.folder = folder;
    std::unordered_set<std::string> seen;
    const auto note = [&](const std::string& path, bool isDir) {
        const auto split = parts(path);
        if (split.empty() || !safePart(split.front())) return;
        if (isDir || split.size() > 1) plan.folderTops.insert(split.front());
        if (seen.insert(split.front()).second) plan.topNames.push_back(split.front());
    };
    for (const auto& file : item.files) note(file.path, false);
    if (item.dirs)
        for (const auto& dir : *item.dirs) note(dir, true);

    // Many names that shorten to one cost a look each, not a look per name before them: within one plan a
    // name found taken stays taken, so each search goes on where the last one for the same name stopped.
    std::set<std::string> taken;
    std::unordered_map<std::string, int> searched;  // fitted name -> the n of the last name taken for it
    const auto free = [&](const std::string& candidate) { return !taken.contains(candidate) && !present(folder / candidate); };
    for (const auto& top : plan.topNames) {
        const auto fitted = FileName::fitted(top);
        auto mac = firstFree(fitted, searched[fitted], free);
        taken.insert(mac);
        plan.macNames[top] = std::move(mac);
    }
    plan.total = std::max<std::int64_t>(item.totalBytes, 1);
    plan.what = plan.topNames.size() == 1 ? plan.topNames.front() : std::to_string(plan.topNames.size()) + " items";
    return plan;
}

std::optional<fs::path> ReceivePlan::destination(const std::string& windowsPath) const {
    const auto split = parts(windowsPath);
    if (split.empty()) return std::nullopt;
    const auto mac = macNames.find(split.front());
    if (mac == macNames.end()) return std::nullopt;
    if (!std::all_of(split.begin(), split.end(), safePart)) return std::nullopt;
    fs::path out = folder / mac->second;
    for (std::size_t i = 1; i < split.size(); ++i) out /= FileName::fitted(split[i]);
    return out;
}

ReceivePlan::Saved ReceivePlan::saved() const {
    auto name = folder.filename().string();
    if (name.empty()) name = folder.string();
    return {"Saved " + what + " to " + name, "Received " + what + " from Windows",
            "Saved to " + name + ". Click to show in the file manager."};
}

std::vector<std::string> ReceivePlan::leftOut(const AgentClient::OutboxItem& item) const {
    std::vector<std::string> out;
    for (const auto& file : item.files)
        if (!destination(file.path)) out.push_back(file.path);
    if (item.dirs)
        for (const auto& dir : *item.dirs)
            if (!parts(dir).empty() && !destination(dir)) out.push_back(dir);
    return out;
}

std::string ReceivePlan::describeLeftOut(const std::vector<std::string>& paths) {
    if (paths.empty()) return {};
    const std::string first = "\"" + leftOutName(paths) + "\"";
    if (paths.size() == 1) return first + " has a name that cannot be used on this computer.";
    return first + " and " + std::to_string(paths.size() - 1) + " more have names that cannot be used on this computer.";
}

std::string ReceivePlan::leftOutName(const std::vector<std::string>& paths) {
    return paths.empty() ? std::string() : stream::text::forLog(paths.front(), 100);
}

void ReceivePlan::makeFolders(const std::vector<std::string>& dirs) {
    std::set<std::string> taken;
    for (const auto& [top, mac] : macNames) taken.insert(mac);
    // Each top-level folder is made here and now, so nothing ever merges into a folder that was there.
    for (const auto& top : topNames) {
        if (!folderTops.contains(top)) continue;
        for (;;) {
            const auto path = folder / macNames[top];
            if (::mkdir(path.c_str(), 0777) == 0) break;
            const int error = errno;
            if (error != EEXIST)
                throw Error("Could not create the folder \"" + path.filename().string() + "\": " + std::strerror(error));
            macNames[top] = uniqueName(top, folder, taken);
            taken.insert(macNames[top]);
        }
    }
    for (const auto& dir : dirs) {
        const auto dest = destination(dir);
        if (!dest) continue;
        std::error_code error;
        fs::create_directories(*dest, error);
        if (error) throw Error(error.message());
    }
}

std::int64_t ReceivePlan::saturatingAdd(std::int64_t a, std::int64_t b) {
    a = std::max<std::int64_t>(a, 0);
    b = std::max<std::int64_t>(b, 0);
    return a > std::numeric_limits<std::int64_t>::max() - b ? std::numeric_limits<std::int64_t>::max() : a + b;
}

double ReceivePlan::progress(std::int64_t total, std::int64_t done, double fraction, std::int64_t size) {
    if (!(fraction >= 0)) fraction = 0;
    const double value = (static_cast<double>(std::max<std::int64_t>(done, 0)) +
                          std::min(fraction, 1.0) * static_cast<double>(std::max<std::int64_t>(size, 0))) /
                         static_cast<double>(std::max<std::int64_t>(total, 1));
    return std::clamp(value, 0.0, 1.0);
}

} // namespace corvane
