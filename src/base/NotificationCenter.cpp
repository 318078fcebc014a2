// SPDX-License-Identifier: Apache-2.0
#include "base/NotificationCenter.h"

#include <algorithm>

namespace zelvik {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

void NotificationCenter::addObserver(const void* observer, std::string name, Callback callback) {
    std::lock_guard lock(mMutex);
    mEntries.push_back(Entry{observer, std::move(name), std::move(callback)});
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(mMutex);
    std::erase_if(mEntries, [observer](const Entry& e) { return e.observer == observer; });
}

void NotificationCenter::postNotificationName(const std::string& name, const void* object) {
    // Holding the lock through delivery keeps removeObserver from returning
    // while its observer is still being called.
    std::lock_guard lock(mMutex);
    const Notification notification{name, object};
    std::vector<Callback> callbacks;
    for (const Entry& e : mEntries) {
        if (e.name == name) callbacks.push_back(e.callback);
    }
    for (const Callback& callback : callbacks) callback(notification);
}

}  // namespace zelvik
