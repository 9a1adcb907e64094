#include "upgrader/serial/kiv_serial_port_manager.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

#include "upgrader/platform/notification_center.h"
#include "upgrader/platform/system_log.h"

namespace serial {

const char* const KivSerialPortsWereConnectedNotification = "KivSerialPortWasConnectedNotification";
const char* const KivSerialPortsWereDisconnectedNotification = "KivSerialPortWasDisconnectedNotification";
const char* const KivConnectedSerialPortsKey = "KivConnectedSerialPortsKey";
const char* const KivDisconnectedSerialPortsKey = "KivDisconnectedSerialPortsKey";

namespace {

std::mutex liveMutex;
// Managers alive now, so a callback can tell a manager from a stray context.
std::set<const void*>& liveManagers() {
    static auto* live = new std::set<const void*>;  // outlives exit-time callers
    return *live;
}

std::function<std::unique_ptr<KivSerialDeviceWatcher>()>& watcherFactory() {
    static std::function<std::unique_ptr<KivSerialDeviceWatcher>()> factory = makeMachineSerialDeviceWatcher;
    return factory;
}

std::shared_ptr<KivSerialPortManager> sharedInstance;

KivSerialPortManager* managerFromContext(void* context, const char* signature) {
    std::lock_guard lock(liveMutex);
    if (context && liveManagers().count(context)) return static_cast<KivSerialPortManager*>(context);
    platform::systemLog(
        "Unexpected context object %p in %s. Context object should be an instance of KivSerialPortManager", context,
        signature);
    return nullptr;
}

void exitHandler() {
    if (sharedInstance) sharedInstance->cleanupAllPorts();
}

}  // namespace

void KivSerialPortManagerPortsPublishedNotificationCallback(void* context,
                                                            const KivSerialDeviceWatcher::Devices& devices) {
    if (auto* manager = managerFromContext(
            context, "void KivSerialPortManagerPortsPublishedNotificationCallback(void *, io_iterator_t)"))
        manager->serialPortsWerePublished(devices);
}

void KivSerialPortManagerPortsTerminatedNotificationCallback(void* context,
                                                             const KivSerialDeviceWatcher::Devices& devices) {
    if (auto* manager = managerFromContext(
            context, "void KivSerialPortManagerPortsTerminatedNotificationCallback(void *, io_iterator_t)"))
        manager->serialPortsWereTerminated(devices);
}

std::shared_ptr<KivSerialPortManager> KivSerialPortManager::sharedSerialPortManager() {
    static std::once_flag once;
    std::call_once(once, [] {
        sharedInstance = std::make_shared<KivSerialPortManager>(Token{}, watcherFactory()());
        sharedInstance->retrieveAvailablePortsAndRegisterForChangeNotifications();
        sharedInstance->registerForNotifications();
    });
    return sharedInstance;
}

void KivSerialPortManager::setDeviceWatcherFactory(std::function<std::unique_ptr<KivSerialDeviceWatcher>()> factory) {
    watcherFactory() = std::move(factory);
}

std::shared_ptr<KivSerialPortManager> KivSerialPortManager::makeWithWatcher(
    std::unique_ptr<KivSerialDeviceWatcher> watcher) {
    auto manager = std::make_shared<KivSerialPortManager>(Token{}, std::move(watcher));
    manager->retrieveAvailablePortsAndRegisterForChangeNotifications();
    return manager;
}

KivSerialPortManager::KivSerialPortManager(Token, std::unique_ptr<KivSerialDeviceWatcher> watcher)
    : watcher_(std::move(watcher)) {
    std::lock_guard lock(liveMutex);
    liveManagers().insert(this);
}

KivSerialPortManager::~KivSerialPortManager() {
    {
        std::lock_guard lock(liveMutex);
        liveManagers().erase(this);
    }
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    watcher_.reset();  // ends both subscriptions
}

void KivSerialPortManager::retrieveAvailablePortsAndRegisterForChangeNotifications() {
    if (!watcher_) return;
    const auto subscription = watcher_->subscribe(this, KivSerialPortManagerPortsPublishedNotificationCallback,
                                                  KivSerialPortManagerPortsTerminatedNotificationCallback);
    watchesArrivals_ = subscription.published;
    watchesRemovals_ = subscription.published && subscription.terminated;
    if (!subscription.published) return;  // no ports and no hot-plug handling
    Ports ports;
    for (const auto& device : subscription.present) {
        if (auto port = KivSerialPort::serialPortWithDevice(device)) ports.push_back(std::move(port));
    }
    setAvailablePorts(std::move(ports));
}

void KivSerialPortManager::registerForNotifications() {
    if (std::atexit(exitHandler) != 0) {
        platform::systemLog("KivSerialPort was unable to register its termination handler for serial port cleanup: %i",
                            errno);
    }
}

void KivSerialPortManager::cleanupAllPorts() {
    const Ports ports = availablePorts_;
    for (const Port& port : ports) port->cleanupAfterSystemRemoval();
    setAvailablePorts({});
}

}  // namespace serial
