// SPDX-License-Identifier: Apache-2.0
// Name-based notifications, delivered synchronously to every observer of
// the name on the thread that posts. Adding, removing and posting are safe
// from any thread; an observer removed while a post runs on another thread
// is not called after removeObserver has returned.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zelvik {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender; not owned
};

class NotificationCenter {
public:
    using Callback = std::function<void(const Notification&)>;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    // Observe `name` from any sender; `observer` identifies the
    // registration for removeObserver.
    void addObserver(const void* observer, std::string name, Callback callback);
    // Ends every observation of `observer`.
    void removeObserver(const void* observer);
    void postNotificationName(const std::string& name, const void* object);

private:
    struct Entry {
        const void* observer;
        std::string name;
        Callback callback;
    };
    std::recursive_mutex mMutex;  // observers may post from a callback
    std::vector<Entry> mEntries;
};

}  // namespace zelvik
