// The one process-wide owner of the list of serial ports on the machine. It
// lists the ports present when first asked for, follows adapters being
// plugged in and pulled out, tells a vanished port it was removed (which
// closes it), announces both kinds of change through the default
// notification centre, and at process exit treats every port as removed.
//
// Threads: whoever calls sharedSerialPortManager() first fixes the thread
// whose event loop delivers the hot-plug batches (the main thread here). All
// of the manager's state is touched on that thread, except by the exit
// handler. Announcements are delivered synchronously on that thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/serial/kiv_serial_device_watcher.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace serial {

// Announcement names and user-info keys; observers compare these strings.
extern const char* const KivSerialPortsWereConnectedNotification;
extern const char* const KivSerialPortsWereDisconnectedNotification;
extern const char* const KivConnectedSerialPortsKey;
extern const char* const KivDisconnectedSerialPortsKey;

// The registry's notification signature: context pointer, devices of the batch.
void KivSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            const KivSerialDeviceWatcher::Devices& devices);
void KivSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             const KivSerialDeviceWatcher::Devices& devices);

class KivSerialPortManager : public std::enable_shared_from_this<KivSerialPortManager> {
    struct Token {};

public:
    using Port = std::shared_ptr<KivSerialPort>;
    using Ports = std::vector<Port>;
    using IndexSet = std::vector<std::size_t>;  // ascending
    enum class Change { Insertion, Removal };
    using PortsObserver = std::function<void(Change, const IndexSet&)>;

    // The singleton, created on first use with the udev watcher (or the one
    // installed with setDeviceWatcherFactory before that).
    static std::shared_ptr<KivSerialPortManager> sharedSerialPortManager();
    static std::shared_ptr<KivSerialPortManager> alloc() { return sharedSerialPortManager(); }
    std::shared_ptr<KivSerialPortManager> init() { return shared_from_this(); }
    std::shared_ptr<KivSerialPortManager> copy() { return shared_from_this(); }
    static void setDeviceWatcherFactory(std::function<std::unique_ptr<KivSerialDeviceWatcher>()> factory);

    // A manager of its own over `watcher`, without the exit handler: for tests.
    static std::shared_ptr<KivSerialPortManager> makeWithWatcher(std::unique_ptr<KivSerialDeviceWatcher> watcher);

    KivSerialPortManager(Token, std::unique_ptr<KivSerialDeviceWatcher> watcher);
    ~KivSerialPortManager();
    KivSerialPortManager(const KivSerialPortManager&) = delete;
    KivSerialPortManager& operator=(const KivSerialPortManager&) = delete;

    const Ports& availablePorts() const { return availablePorts_; }
    void setAvailablePorts(Ports ports);
    // Element-wise access; the hot-plug handlers change the list only through
    // these, so observers see each insertion and removal.
    std::size_t countOfAvailablePorts() const { return availablePorts_.size(); }
    Port objectInAvailablePortsAtIndex(std::size_t index) const;
    void insertAvailablePortsAtIndexes(const Ports& ports, const IndexSet& indexes);
    void insertObjectInAvailablePortsAtIndex(const Port& port, std::size_t index);
    void removeAvailablePortsAtIndexes(const IndexSet& indexes);
    void removeObjectFromAvailablePortsAtIndex(std::size_t index);
    void addAvailablePortsObserver(PortsObserver observer);

    const Ports& portsToReopenAfterSleep() const { return portsToReopenAfterSleep_; }
    bool watchesArrivals() const { return watchesArrivals_; }
    bool watchesRemovals() const { return watchesRemovals_; }

    void serialPortsWerePublished(const KivSerialDeviceWatcher::Devices& devices);
    void serialPortsWereTerminated(const KivSerialDeviceWatcher::Devices& devices);
    // Not wired to any system notice; a host that wants it calls them.
    void systemWillSleep();
    void systemDidWake();
    // What the exit handler does: every listed port is treated as removed,
    // then the list is emptied. Safe to call more than once.
    void cleanupAllPorts();

private:
    void retrieveAvailablePortsAndRegisterForChangeNotifications();
    void registerForNotifications();
    void post(const char* name, const char* key, const Ports& ports);
    void notifyObservers(Change change, const IndexSet& indexes);

    std::unique_ptr<KivSerialDeviceWatcher> watcher_;
    Ports availablePorts_;
    Ports portsToReopenAfterSleep_;
    std::vector<PortsObserver> observers_;
    bool watchesArrivals_ = false;
    bool watchesRemovals_ = false;
};

}  // namespace serial
