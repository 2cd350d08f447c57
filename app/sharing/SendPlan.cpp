#include "app/sharing/SendPlan.hpp"

#include "app/sharing/ReceivePlan.hpp"
#include "engine/Text.hpp"

#include <algorithm>
#include <system_error>

namespace corvane {

namespace fs = std::filesystem;
using Why = SendPlan::LeftOut::Why;

namespace {

// Depth first, each folder's entries in name order, so a send is the same every time.
void walk(const fs::path& dir, const std::string& rel, SendPlan& plan) {
    std::vector<fs::directory_entry> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
    // Unreadable, or named by a path longer than the system takes: what it holds stays here.
    if (ec) plan.leftOut.push_back({rel, Why::unreadable});
    std::sort(children.begin(), children.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& child : children) {
        const auto name = child.path().filename().string();
        if (name == ".DS_Store") continue;
        const auto path = rel + "/" + name;
        std::error_code sc;
        const auto status = child.symlink_status(sc);
        if (fs::is_directory(status)) {
            plan.folders.push_back(path);
            walk(child.path(), path, plan);
        } else if (fs::is_regular_file(status)) {
            std::error_code zc;
            const auto size = fs::file_size(child.path(), zc);
            plan.entries.push_back({path, child.path(), zc ? 0 : static_cast<std::int64_t>(size)});
        } else {
            plan.leftOut.push_back({path, sc ? Why::unreadable : Why::notFileOrFolder});
        }
    }
}

} // namespace

SendPlan SendPlan::make(const std::vector<fs::path>& chosen) {
    SendPlan plan;
    std::vector<std::string> seen;
    for (const auto& given : chosen) {
        auto path = given.lexically_normal();
        if (!path.has_filename()) path = path.parent_path();
        const auto name = path.filename().string();
        if (name.empty()) continue;
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
            plan.leftOut.push_back({name, Why::sameName});
            continue;
        }
        seen.push_back(name);
        std::error_code ec;
        const auto status = fs::status(path, ec);  // the chosen item itself may be a link the user picked
        if (ec || !fs::exists(status)) {
            plan.leftOut.push_back({name, Why::gone});
        } else if (fs::is_directory(status)) {
            plan.names.push_back(name);
            plan.folders.push_back(name);
            walk(path, name, plan);
        } else if (fs::is_regular_file(status)) {  // a device or pipe would never end
            plan.names.push_back(name);
            std::error_code zc;
            const auto size = fs::file_size(path, zc);
            plan.entries.push_back({name, path, zc ? 0 : static_cast<std::int64_t>(size)});
        } else {
            plan.leftOut.push_back({name, Why::notFileOrFolder});
        }
    }
    std::int64_t sum = 0;
    for (const auto& entry : plan.entries) sum = ReceivePlan::saturatingAdd(sum, entry.size);
    plan.total = std::max<std::int64_t>(sum, 1);
    return plan;
}

std::string SendPlan::what() const {
    return names.size() == 1 ? names.front() : std::to_string(names.size()) + " items";
}

std::string SendPlan::describeLeftOut() const {
    if (leftOut.empty()) return {};
    const std::string first = "\"" + leftOutName() + "\"";
    if (leftOut.size() > 1) return first + " and " + std::to_string(leftOut.size() - 1) + " more could not be sent.";
    return first + " " + reason(leftOut.front().why) + ".";
}

std::string SendPlan::leftOutName() const {
    return leftOut.empty() ? std::string() : stream::text::forLog(leftOut.front().rel, 100);
}

std::string SendPlan::reason(LeftOut::Why why) {
    switch (why) {
    case Why::gone: return "is no longer there";
    case Why::sameName: return "has the name of another item sent";
    case Why::notFileOrFolder: return "is not a file or folder";
    case Why::unreadable: break;
    }
    return "could not be read";
}

std::string SendPlan::folderName(const std::string& dest) {
    const auto end = dest.find_last_not_of("\\/");
    if (end == std::string::npos) return "Windows";
    const auto slash = dest.find_last_of("\\/", end);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    return stream::text::forLog(std::string_view(dest).substr(start, end + 1 - start), 255);
}

} // namespace corvane
