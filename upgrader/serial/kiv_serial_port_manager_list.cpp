// The manager's list of ports, element by element, and its hot-plug handlers.
#include <algorithm>

#include "upgrader/platform/notification_center.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace serial {

namespace {

bool containsEqual(const KivSerialPortManager::Ports& ports, const KivSerialPort& port) {
    return std::any_of(ports.begin(), ports.end(), [&](const auto& p) { return *p == port; });
}

}  // namespace

void KivSerialPortManager::setAvailablePorts(Ports ports) {
    availablePorts_ = std::move(ports);
}

KivSerialPortManager::Port KivSerialPortManager::objectInAvailablePortsAtIndex(std::size_t index) const {
    return index < availablePorts_.size() ? availablePorts_[index] : nullptr;
}

void KivSerialPortManager::insertAvailablePortsAtIndexes(const Ports& ports, const IndexSet& indexes) {
    IndexSet done;
    for (std::size_t i = 0; i < ports.size() && i < indexes.size(); ++i) {
        const std::size_t at = std::min(indexes[i], availablePorts_.size());
        availablePorts_.insert(availablePorts_.begin() + static_cast<std::ptrdiff_t>(at), ports[i]);
        done.push_back(at);
    }
    if (!done.empty()) notifyObservers(Change::Insertion, done);
}

void KivSerialPortManager::insertObjectInAvailablePortsAtIndex(const Port& port, std::size_t index) {
    insertAvailablePortsAtIndexes({port}, {index});
}

void KivSerialPortManager::removeAvailablePortsAtIndexes(const IndexSet& indexes) {
    IndexSet done;
    // From the back, so earlier indexes stay valid.
    for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
        if (*it >= availablePorts_.size()) continue;
        availablePorts_.erase(availablePorts_.begin() + static_cast<std::ptrdiff_t>(*it));
        done.insert(done.begin(), *it);
    }
    if (!done.empty()) notifyObservers(Change::Removal, done);
}

void KivSerialPortManager::removeObjectFromAvailablePortsAtIndex(std::size_t index) {
    removeAvailablePortsAtIndexes({index});
}

void KivSerialPortManager::addAvailablePortsObserver(PortsObserver observer) {
    observers_.push_back(std::move(observer));
}

void KivSerialPortManager::notifyObservers(Change change, const IndexSet& indexes) {
    for (const auto& observer : observers_) observer(change, indexes);
}

void KivSerialPortManager::post(const char* name, const char* key, const Ports& ports) {
    platform::NotificationCenter::defaultCenter().post({name, this, {{key, ports}}});
}

void KivSerialPortManager::serialPortsWerePublished(const KivSerialDeviceWatcher::Devices& devices) {
    Ports added;
    for (const auto& device : devices) {
        auto port = KivSerialPort::serialPortWithDevice(device);
        if (port && !containsEqual(availablePorts_, *port) && !containsEqual(added, *port))
            added.push_back(std::move(port));
    }
    IndexSet at;
    for (std::size_t i = 0; i < added.size(); ++i) at.push_back(availablePorts_.size() + i);
    insertAvailablePortsAtIndexes(added, at);
    post(KivSerialPortsWereConnectedNotification, KivConnectedSerialPortsKey, added);
}

void KivSerialPortManager::serialPortsWereTerminated(const KivSerialDeviceWatcher::Devices& devices) {
    Ports removed;
    for (const auto& device : devices) {
        if (auto port = KivSerialPort::serialPortWithDevice(device)) removed.push_back(std::move(port));
    }
    // The delegates hear of it before the ports leave the list.
    for (const Port& port : removed) port->cleanupAfterSystemRemoval();
    IndexSet gone;
    for (std::size_t i = 0; i < availablePorts_.size(); ++i)
        if (containsEqual(removed, *availablePorts_[i])) gone.push_back(i);
    removeAvailablePortsAtIndexes(gone);
    post(KivSerialPortsWereDisconnectedNotification, KivDisconnectedSerialPortsKey, removed);
}

void KivSerialPortManager::systemWillSleep() {
    for (const Port& port : availablePorts_) {
        if (port->isOpen() && port->close()) portsToReopenAfterSleep_.push_back(port);
    }
}

void KivSerialPortManager::systemDidWake() {
    const Ports snapshot = portsToReopenAfterSleep_;
    for (const Port& port : snapshot) {
        port->open();
        auto it = std::find(portsToReopenAfterSleep_.begin(), portsToReopenAfterSleep_.end(), port);
        if (it != portsToReopenAfterSleep_.end()) portsToReopenAfterSleep_.erase(it);
    }
}

}  // namespace serial
