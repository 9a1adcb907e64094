// Desktop notifications: the freedesktop notification service
// (org.freedesktop.Notifications over D-Bus) behind a small centre that keeps
// the list of delivered notifications and tells a delegate of each delivery.
// A desktop without a session bus or without a notification service loses
// its notifications without a word to the user; no call here waits for the bus.
//
// Threads: main thread only. Every call returns at once; the service's
// answers arrive on the main thread's event loop, and so do the delegate's
// callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct UserNotification {
    std::string title;
    std::string informativeText;
    bool silent = true;            // no sound
    std::uint32_t identifier = 0;  // the service's number once shown; 0 = not shown
};

class UserNotificationCenter;

class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;
    // The notification is in the delivered list (shown, if it was to be presented).
    virtual void userNotificationCenterDidDeliverNotification(UserNotificationCenter&, const UserNotification&) {}
    // Asked before each notification is shown; false keeps it off the screen.
    virtual bool userNotificationCenterShouldPresentNotification(UserNotificationCenter&, const UserNotification&) {
        return true;
    }
};

class UserNotificationCenter {
public:
    // The centre on the session bus, connected on first delivery.
    static UserNotificationCenter& defaultUserNotificationCenter();
    // A centre of its own on the bus at `address`: for tests.
    static std::unique_ptr<UserNotificationCenter> withBusAddress(const std::string& address);

    ~UserNotificationCenter();
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    // Not owned; whoever sets it clears it before going away.
    void setDelegate(UserNotificationCenterDelegate* delegate);
    UserNotificationCenterDelegate* delegate() const;
    // Shown under this application name, icon name and desktop entry (the
    // .desktop file's name without its suffix). Quenlo's by default.
    void setApplicationName(const std::string& name, const std::string& iconName, const std::string& desktopEntry);

    void deliverNotification(const UserNotification& notification);
    // Takes it off the list and off the screen.
    void removeDeliveredNotification(const UserNotification& notification);
    std::vector<UserNotification> deliveredNotifications() const;

private:
    struct Impl;
    explicit UserNotificationCenter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
