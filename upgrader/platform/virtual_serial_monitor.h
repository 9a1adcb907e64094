// Watches the per-user folder of virtual serial ports (links to
// pseudo-terminal slaves) and reports entries appearing and vanishing as
// ports published and terminated, in batches, like adapters plugged in and
// pulled out. Woken by inotify: the folder, the folder above it (so a folder
// made or removed later is noticed) and /dev/pts (a terminal that goes away
// leaves a link that leads nowhere). Never polls.
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

class VirtualSerialMonitor {
public:
    using Batch = std::vector<SerialDeviceInfo>;
    struct Callbacks {
        std::function<void(const Batch&)> published;
        std::function<void(const Batch&)> terminated;
    };

    // `folder` is normally gimbal::virtualSerialFolder(). Watches from here
    // on; what is there is listed by present(), and only later changes are
    // reported.
    VirtualSerialMonitor(std::string folder, Callbacks callbacks);
    ~VirtualSerialMonitor();
    VirtualSerialMonitor(const VirtualSerialMonitor&) = delete;
    VirtualSerialMonitor& operator=(const VirtualSerialMonitor&) = delete;

    // The ports there now. The first call lists the folder, after the watch
    // is in place, so a link made or removed meanwhile is neither lost nor
    // left behind; later calls answer the list as events have kept it.
    Batch present();
    bool isWatching() const;
    std::string error() const;  // why it is not watching

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A virtual port as a device: identity and node are the link's full path,
// the name is the link's name.
SerialDeviceInfo virtualSerialDeviceInfo(const std::string& name, const std::string& path);

}  // namespace platform
