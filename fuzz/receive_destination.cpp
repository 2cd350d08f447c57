// Box paths through the receive plan: whatever the box sends, a destination stays inside the folder.
#include "app/sharing/ReceivePlan.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvane::ReceivePlan;
    // The input is a list of paths split at newlines; the first few name the item, all are then placed.
    const std::string text(reinterpret_cast<const char*>(data), size);
    corvane::AgentClient::OutboxItem item;
    item.id = "f";
    std::vector<std::string> paths;
    std::size_t start = 0;
    while (start <= text.size() && paths.size() < 64) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i % 2 == 0) item.files.push_back({paths[i], static_cast<std::int64_t>(size) - 100});
        else item.dirs.emplace().push_back(paths[i]);
    }
    item.totalBytes = static_cast<std::int64_t>(size) * -3;
    const std::filesystem::path folder = "/nonexistent-receive-folder/in";
    const auto plan = ReceivePlan::make(item, folder);
    if (plan.total < 1) std::abort();
    for (const auto& path : paths) {
        const auto dest = plan.destination(path);
        if (!dest) continue;
        // Inside the folder: no part climbs, and the path starts with the folder.
        const auto rel = dest->lexically_relative(folder);
        if (rel.empty() || *rel.begin() == ".." || dest->lexically_normal() != *dest) std::abort();
        for (const auto& part : rel)
            if (!ReceivePlan::safePart(part.string())) std::abort();
        if (ReceivePlan::progress(plan.total, plan.total, 1.0, static_cast<std::int64_t>(size)) > 1.0) std::abort();
    }
    return 0;
}
