#include "upgrader/platform/serial_device_monitor.h"

#include <QSocketNotifier>

#include <map>
#include <unistd.h>

#include "upgrader/platform/serial_devices_udev.h"
#include "upgrader/platform/udev_handles.h"

namespace platform {

struct SerialDeviceMonitor::Impl {
    Callbacks callbacks;
    std::map<std::string, SerialDeviceInfo> known;  // by syspath
    udev::Udev ctx{udev_new()};
    udev::Monitor monitor;
    std::unique_ptr<QSocketNotifier> notifier;
    std::string kind;
    std::string error;

    void start();
    void drain();
    void handle(udev_device* dev, Batch& added, Batch& removed);
    void flush(Batch& added, Batch& removed);
};

void SerialDeviceMonitor::Impl::start() {
    // udevd announces itself through its control socket; without it the
    // "udev" netlink group stays silent.
    kind = ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    if (!ctx) {
        error = "udev: no context";
        return;
    }
    monitor.reset(udev_monitor_new_from_netlink(ctx.get(), kind.c_str()));
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0) {
        error = "udev: cannot watch tty devices through the " + kind + " monitor";
        monitor.reset();
        return;
    }
    notifier = std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor.get()), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
}

// Everything pending is read at once; consecutive events of one kind go out
// as one batch, in the order they happened.
void SerialDeviceMonitor::Impl::drain() {
    Batch added, removed;
    while (udev_device* raw = udev_monitor_receive_device(monitor.get())) {
        udev::Device dev(raw);
        handle(dev.get(), added, removed);
    }
    flush(added, removed);
}

void SerialDeviceMonitor::Impl::handle(udev_device* dev, Batch& added, Batch& removed) {
    const std::string action = udev_device_get_action(dev) ? udev_device_get_action(dev) : "";
    const std::string sysname = udev_device_get_sysname(dev) ? udev_device_get_sysname(dev) : "";
    const std::string syspath = udev_device_get_syspath(dev) ? udev_device_get_syspath(dev) : "";
    if (callbacks.rawEvent) callbacks.rawEvent(action, sysname);
    if (action == "remove") {
        auto it = known.find(syspath);
        if (it == known.end()) return;
        if (!added.empty()) flush(added, removed);
        removed.push_back(it->second);
        known.erase(it);
    } else if (action == "add" || action == "change") {
        if (known.count(syspath)) return;
        auto info = describeSerialDevice(dev);
        if (!info) return;
        if (!removed.empty()) flush(added, removed);
        known.emplace(syspath, *info);
        added.push_back(std::move(*info));
    }
}

void SerialDeviceMonitor::Impl::flush(Batch& added, Batch& removed) {
    if (!removed.empty() && callbacks.terminated) callbacks.terminated(removed);
    if (!added.empty() && callbacks.published) callbacks.published(added);
    added.clear();
    removed.clear();
}

SerialDeviceMonitor::SerialDeviceMonitor(Callbacks callbacks) : impl_(std::make_unique<Impl>()) {
    impl_->callbacks = std::move(callbacks);
    impl_->start();
}

SerialDeviceMonitor::Batch SerialDeviceMonitor::present(std::string* error) {
    Batch devices = enumerateSerialDevices(error);
    for (const SerialDeviceInfo& d : devices) impl_->known.emplace(d.syspath, d);
    return devices;
}

SerialDeviceMonitor::~SerialDeviceMonitor() = default;

bool SerialDeviceMonitor::isWatching() const {
    return impl_->notifier != nullptr;
}
std::string SerialDeviceMonitor::kind() const {
    return impl_->kind;
}
std::string SerialDeviceMonitor::error() const {
    return impl_->error;
}

}  // namespace platform
