#include "app/sharing/SendPlan.hpp"

#include "app/sharing/ReceivePlan.hpp"

#include <algorithm>
#include <system_error>

namespace corvane {

namespace fs = std::filesystem;

namespace {

// Depth first, each folder's entries in name order, so a send is the same every time.
void walk(const fs::path& dir, const std::string& rel, SendPlan& plan) {
    std::vector<fs::directory_entry> children;
    std::error_code ec;
    for (fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec))
        children.push_back(*it);
    std::sort(children.begin(), children.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& child : children) {
        const auto name = child.path().filename().string();
        if (name == ".DS_Store") continue;
        const auto path = rel + "/" + name;
        std::error_code sc;
        const auto status = child.symlink_status(sc);
        if (sc) continue;
        if (fs::is_directory(status)) {
            plan.folders.push_back(path);
            walk(child.path(), path, plan);
        } else if (fs::is_regular_file(status)) {
            std::error_code zc;
            const auto size = fs::file_size(child.path(), zc);
            plan.entries.push_back({path, child.path(), zc ? 0 : static_cast<std::int64_t>(size)});
        }
    }
}

} // namespace

SendPlan SendPlan::make(const std::vector<fs::path>& chosen) {
    SendPlan plan;
    for (const auto& given : chosen) {
        auto path = given.lexically_normal();
        if (!path.has_filename()) path = path.parent_path();
        const auto name = path.filename().string();
        if (name.empty() || std::find(plan.names.begin(), plan.names.end(), name) != plan.names.end() ||
            std::find(plan.vanished.begin(), plan.vanished.end(), name) != plan.vanished.end())
            continue;
        std::error_code ec;
        const auto status = fs::status(path, ec);  // the chosen item itself may be a link the user picked
        if (ec || !fs::exists(status)) {
            plan.vanished.push_back(name);
            continue;
        }
        plan.names.push_back(name);
        if (fs::is_directory(status)) {
            plan.folders.push_back(name);
            walk(path, name, plan);
        } else if (fs::is_regular_file(status)) {  // a device or pipe would never end
            std::error_code zc;
            const auto size = fs::file_size(path, zc);
            plan.entries.push_back({name, path, zc ? 0 : static_cast<std::int64_t>(size)});
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

} // namespace corvane
