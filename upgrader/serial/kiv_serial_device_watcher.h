// Where the port manager learns of the machine's serial devices: the devices
// present when it subscribes, then batches of devices published and
// terminated, delivered on the thread that subscribed (the main thread).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "upgrader/serial/kiv_serial_device.h"

namespace serial {

class KivSerialDeviceWatcher {
public:
    using Devices = std::vector<KivSerialDeviceHandle>;
    // Context is the subscriber's own pointer, handed back with every batch.
    using Callback = void (*)(void* context, const Devices& devices);

    struct Subscription {
        bool published = false;   // false: nothing listed and no arrivals reported
        bool terminated = false;  // false: removals are never reported
        Devices present;          // in discovery order
    };

    virtual ~KivSerialDeviceWatcher() = default;
    // Called once. The callbacks run later, one batch at a time, on this thread.
    virtual Subscription subscribe(void* context, Callback published, Callback terminated) = 0;
};

// The machine's watcher: udev enumeration and its uevent monitor, then the
// per-user folder of virtual serial ports (watched through inotify).
std::unique_ptr<KivSerialDeviceWatcher> makeMachineSerialDeviceWatcher();
// The virtual ports of `folder` alone (tests, and machines without udev).
std::unique_ptr<KivSerialDeviceWatcher> makeVirtualSerialDeviceWatcher(const std::string& folder);

}  // namespace serial
