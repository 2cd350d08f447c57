#include "app/sharing/ReceivePlan.hpp"

#include <algorithm>
#include <climits>
#include <limits>
#include <system_error>

namespace corvane {

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
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
    if (part.empty() || part == "." || part == ".." || part.size() > NAME_MAX) return false;
    return std::none_of(part.begin(), part.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

std::string ReceivePlan::uniqueName(const std::string& name, const fs::path& folder, const std::set<std::string>& taken) {
    const auto free = [&](const std::string& candidate) { return !taken.contains(candidate) && !present(folder / candidate); };
    if (free(name)) return name;
    const fs::path asPath(name);
    std::string base = name;
    std::string ext;
    if (asPath.has_extension() && asPath.stem() != "") {
        ext = asPath.extension().string().substr(1);
        base = asPath.stem().string();
    }
    for (long n = 2;; ++n) {
        std::string candidate = base + " " + std::to_string(n);
        if (!ext.empty()) candidate += "." + ext;
        if (free(candidate)) return candidate;
    }
}

ReceivePlan ReceivePlan::make(const AgentClient::OutboxItem& item, const fs::path& folder) {
    ReceivePlan plan;
    plan.folder = folder;
    const auto note = [&](const std::string& path, bool isDir) {
        const auto split = parts(path);
        if (split.empty() || !safePart(split.front())) return;
        if (isDir || split.size() > 1) plan.folderTops.insert(split.front());
        if (std::find(plan.topNames.begin(), plan.topNames.end(), split.front()) == plan.topNames.end())
            plan.topNames.push_back(split.front());
    };
    for (const auto& file : item.files) note(file.path, false);
    if (item.dirs)
        for (const auto& dir : *item.dirs) note(dir, true);

    std::set<std::string> taken;
    for (const auto& top : plan.topNames) {
        const auto mac = uniqueName(top, folder, taken);
        taken.insert(mac);
        plan.macNames[top] = mac;
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
    for (std::size_t i = 1; i < split.size(); ++i) out /= split[i];
    return out;
}

std::int64_t ReceivePlan::saturatingAdd(std::int64_t a, std::int64_t b) {
    a = std::max<std::int64_t>(a, 0);
    b = std::max<std::int64_t>(b, 0);
    return a > std::numeric_limits<std::int64_t>::max() - b ? std::numeric_limits<std::int64_t>::max() : a + b;
}

double ReceivePlan::progress(std::int64_t done, double fraction, std::int64_t size) const {
    if (!(fraction >= 0)) fraction = 0;
    const double value = (static_cast<double>(std::max<std::int64_t>(done, 0)) +
                          std::min(fraction, 1.0) * static_cast<double>(std::max<std::int64_t>(size, 0))) /
                         static_cast<double>(std::max<std::int64_t>(total, 1));
    return std::clamp(value, 0.0, 1.0);
}

} // namespace corvane
