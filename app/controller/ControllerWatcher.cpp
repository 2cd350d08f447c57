#include "app/controller/ControllerWatcher.hpp"

#include "app/services/Log.hpp"

#include <QMetaObject>

#include <algorithm>

namespace corvane {

using Manager = platform::GamepadManager;

ControllerWatcher::ControllerWatcher(QObject* parent)
    : QObject(parent), own_(std::make_unique<Manager>()), manager_(*own_) {
    listen();
    try {
        own_->start(Manager::Delivery::ownThread);
    } catch (const Manager::Error& error) {
        Log::write(error.what());
    }
}

ControllerWatcher::ControllerWatcher(Manager& manager, QObject* parent) : QObject(parent), manager_(manager) {
    listen();
}

// Listening ends before the manager stops; hops still queued die with this object.
ControllerWatcher::~ControllerWatcher() {
    listening_.reset();
    if (own_) own_->stop();
}

void ControllerWatcher::listen() {
    Manager::Listener listener;
    listener.onAdded = [this](const Manager::Info& info, const Manager::State&) {
        QMetaObject::invokeMethod(this, [this, info] { added(info); }, Qt::QueuedConnection);
    };
    listener.onRemoved = [this](Manager::Id id) {
        QMetaObject::invokeMethod(this, [this, id] { removed(id); }, Qt::QueuedConnection);
    };
    listening_ = manager_.listen(std::move(listener));
}

std::string ControllerWatcher::displayName(const Manager::Info& info) {
    if (!info.name.empty()) return info.name;
    if (!info.productCategory.empty()) return info.productCategory;
    return "Game controller";
}

void ControllerWatcher::added(const Manager::Info& info) {
    std::erase_if(attached_, [&info](const auto& known) { return known.id == info.id; });
    attached_.push_back(info);
    refresh();
}

void ControllerWatcher::removed(Manager::Id id) {
    const auto before = attached_.size();
    std::erase_if(attached_, [id](const auto& info) { return info.id == id; });
    if (attached_.size() != before) refresh();
}

// The whole list is replaced at once: two controllers of one kind are two equal names.
void ControllerWatcher::refresh() {
    std::vector<std::string> names;
    names.reserve(attached_.size());
    for (const auto& info : attached_) names.push_back(displayName(info));
    names_ = std::move(names);
    Q_EMIT changed();
}

} // namespace corvane
