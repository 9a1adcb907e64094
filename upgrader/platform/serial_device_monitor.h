// Watches udev for serial ports appearing and vanishing and reports them in
// batches on the thread that created the monitor (the main thread here).
// The "udev" monitor is used where udevd runs, the kernel's own uevents where
// it does not (containers, CI); both wake us through a socket, never a poll.
//
// Threads: create, use and destroy the monitor on one thread that runs a Qt
// event loop; every callback runs on that thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/platform/serial_devices.h"

namespace platform {

class SerialDeviceMonitor {
public:
    using Batch = std::vector<SerialDeviceInfo>;
    struct Callbacks {
        std::function<void(const Batch&)> published;   // new real serial ports
        std::function<void(const Batch&)> terminated;  // ports reported before, now gone
        // Every tty event seen, before filtering ("add", "ttyS0"); for diagnostics and tests.
        std::function<void(const std::string& action, const std::string& sysname)> rawEvent;
    };

    // Listens from here on. Devices reported by present() are known: an
    // arrival already listed is not reported again, their removal is.
    explicit SerialDeviceMonitor(Callbacks callbacks);
    ~SerialDeviceMonitor();
    SerialDeviceMonitor(const SerialDeviceMonitor&) = delete;
    SerialDeviceMonitor& operator=(const SerialDeviceMonitor&) = delete;

    // The real serial ports present now (enumerateSerialDevices), taken after
    // the monitor listens, so that a device plugged in or pulled out
    // meanwhile is still reported by the events that follow.
    Batch present(std::string* error = nullptr);

    bool isWatching() const;
    std::string kind() const;   // "udev" or "kernel"
    std::string error() const;  // why it is not watching

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
