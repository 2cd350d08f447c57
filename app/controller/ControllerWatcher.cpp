#include "app/controller/ControllerWatcher.hpp"

#include <algorithm>

namespace corvane {

std::string ControllerWatcher::displayName(const platform::GamepadManager::Info& info) {
    if (!info.name.empty()) return info.name;
    if (!info.productCategory.empty()) return info.productCategory;
    return "Game controller";
}

void ControllerWatcher::added(const platform::GamepadManager::Info& info) {
    removed(info.id);
    attached_.push_back(info);
    refresh();
}

void ControllerWatcher::removed(platform::GamepadManager::Id id) {
    const auto before = attached_.size();
    std::erase_if(attached_, [id](const auto& info) { return info.id == id; });
    if (attached_.size() != before) refresh();
}

void ControllerWatcher::refresh() {
    std::vector<std::string> names;
    names.reserve(attached_.size());
    for (const auto& info : attached_) names.push_back(displayName(info));
    names_ = std::move(names);
    Q_EMIT changed();
}

} // namespace corvane
