// Private to upgrader/serial: the class-wide list of live ports. It holds no
// port alive. Ports are made on the main thread but may die on any thread, so
// every access takes a lock; a port that is being destroyed no longer counts
// as live even before it has removed its entry.
#pragma once

#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

namespace serial {

class KivSerialPort;

class PortRegistry {
public:
    static PortRegistry& shared();

    void add(const std::shared_ptr<KivSerialPort>& port);
    void remove(const KivSerialPort* port);  // the entry for exactly that object
    std::shared_ptr<KivSerialPort> existing(const std::string& path) const;
    // The live port for `path`, or a new one from `make` added under the same
    // lock, so two threads cannot both make one.
    std::shared_ptr<KivSerialPort> existingOrAdd(const std::string& path,
                                                 const std::function<std::shared_ptr<KivSerialPort>()>& make);
    std::vector<std::shared_ptr<KivSerialPort>> live() const;

private:
    struct Entry {
        const KivSerialPort* port;
        std::weak_ptr<KivSerialPort> reference;
    };
    std::shared_ptr<KivSerialPort> existingLocked(const std::string& path,
                                                  std::vector<std::shared_ptr<KivSerialPort>>& held) const;

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace serial
