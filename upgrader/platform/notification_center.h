// The process notification centre: observers register by notification name
// (optionally for one sender only) and every post is delivered synchronously,
// on the posting thread, to the observers registered at that moment.
//
// Threads: any thread may register, remove and post. A handler that is
// already running on another thread is not waited for by removeObserver(), so
// observers remove themselves on the thread that posts to them (the main
// thread in this program); there removal takes effect at once, even in the
// middle of a post.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender
    std::map<std::string, std::any> userInfo;
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // `observer` identifies the registration for removeObserver; `sender`
    // nullptr means any sender.
    void addObserver(const void* observer, const std::string& name, const void* sender, Handler handler);
    // Removes every registration of the observer.
    void removeObserver(const void* observer);
    void post(const Notification& notification);
    std::size_t observerCount() const;

private:
    struct Registration {
        const void* observer;
        std::string name;
        const void* sender;
        Handler handler;
        std::shared_ptr<bool> alive;
    };
    mutable std::mutex mutex_;
    std::vector<Registration> registrations_;
};

}  // namespace platform
