// RAII holders for libudev objects.
#pragma once

#include <libudev.h>

#include <memory>

namespace platform::udev {

struct UdevUnref {
    void operator()(struct udev* u) const { udev_unref(u); }
};
struct DeviceUnref {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
struct EnumerateUnref {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct MonitorUnref {
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};

using Udev = std::unique_ptr<struct udev, UdevUnref>;
using Device = std::unique_ptr<udev_device, DeviceUnref>;
using Enumerate = std::unique_ptr<udev_enumerate, EnumerateUnref>;
using Monitor = std::unique_ptr<udev_monitor, MonitorUnref>;

}  // namespace platform::udev
