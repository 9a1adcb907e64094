#include "upgrader/platform/notification_center.h"

#include <algorithm>

namespace platform {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* observer, const std::string& name, const void* sender,
                                     Handler handler) {
    std::lock_guard lock(mutex_);
    registrations_.push_back({observer, name, sender, std::move(handler), std::make_shared<bool>(true)});
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mutex_);
    auto gone = std::remove_if(registrations_.begin(), registrations_.end(),
                               [&](const Registration& r) { return r.observer == observer; });
    for (auto it = gone; it != registrations_.end(); ++it) *it->alive = false;
    registrations_.erase(gone, registrations_.end());
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::pair<Handler, std::shared_ptr<bool>>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const Registration& r : registrations_) {
            if (r.name == notification.name && (r.sender == nullptr || r.sender == notification.object))
                targets.emplace_back(r.handler, r.alive);
        }
    }
    // Delivered outside the lock so handlers may register, remove and post;
    // one removed by an earlier handler of this post is skipped.
    for (auto& [handler, alive] : targets) {
        bool stillRegistered;
        {
            std::lock_guard lock(mutex_);
            stillRegistered = *alive;
        }
        if (stillRegistered) handler(notification);
    }
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

}  // namespace platform
