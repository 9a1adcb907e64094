#include "upgrader/serial/kiv_serial_port_registry.h"

#include <algorithm>

#include "upgrader/serial/kiv_serial_port.h"

namespace serial {

PortRegistry& PortRegistry::shared() {
    // Never destroyed: ports may die on other threads while the process exits.
    static PortRegistry* const registry = new PortRegistry;
    return *registry;
}

void PortRegistry::add(const std::shared_ptr<KivSerialPort>& port) {
    if (!port) return;
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{port.get(), port});
}

void PortRegistry::remove(const KivSerialPort* port) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [port](const Entry& entry) { return entry.port == port; });
}

// Every reference taken here goes into `held`, which the caller releases
// after unlocking: dropping a last reference under the lock would run the
// port's destructor, which takes the lock again.
std::shared_ptr<KivSerialPort> PortRegistry::existingLocked(const std::string& path,
                                                            std::vector<std::shared_ptr<KivSerialPort>>& held) const {
    for (const Entry& entry : entries_) {
        // A port whose last reference is gone is being destroyed: not live.
        auto port = entry.reference.lock();
        if (!port) continue;
        held.push_back(port);
        if (port->path() == path) return port;
    }
    return nullptr;
}

std::shared_ptr<KivSerialPort> PortRegistry::existing(const std::string& path) const {
    std::vector<std::shared_ptr<KivSerialPort>> held;
    std::lock_guard lock(mutex_);
    return existingLocked(path, held);
}

std::shared_ptr<KivSerialPort> PortRegistry::existingOrAdd(
    const std::string& path, const std::function<std::shared_ptr<KivSerialPort>()>& make) {
    std::vector<std::shared_ptr<KivSerialPort>> held;
    std::shared_ptr<KivSerialPort> port;
    std::lock_guard lock(mutex_);
    port = existingLocked(path, held);
    if (!port) {
        port = make();
        entries_.push_back(Entry{port.get(), port});
    }
    return port;
}

std::vector<std::shared_ptr<KivSerialPort>> PortRegistry::live() const {
    std::vector<std::shared_ptr<KivSerialPort>> ports;
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_)
        if (auto port = entry.reference.lock()) ports.push_back(std::move(port));
    return ports;
}

}  // namespace serial
