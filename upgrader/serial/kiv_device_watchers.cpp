// The port manager's device sources: udev, and the per-user folder of
// virtual serial ports. A device's TTY name is the friendly name udev gives
// it (or the virtual link's name), so that is what a port shows as its name.
#include <memory>

#include "link/virtual_ports.h"
#include "upgrader/platform/serial_device_monitor.h"
#include "upgrader/platform/serial_devices.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/platform/virtual_serial_monitor.h"
#include "upgrader/serial/kiv_serial_device_watcher.h"

namespace serial {

namespace {

class ListedSerialDevice final : public KivSerialDevice {
public:
    explicit ListedSerialDevice(const platform::SerialDeviceInfo& info) : info_(info) {
        auto digits = info.sysname.find_last_not_of("0123456789");
        digits = digits == std::string::npos ? 0 : digits + 1;
        base_ = info.sysname.substr(0, digits);
        suffix_ = info.sysname.substr(digits);
    }
    std::optional<std::string> calloutPath() const override { return info_.node; }
    std::optional<std::string> dialinPath() const override { return info_.node; }
    std::optional<std::string> ttyName() const override { return info_.friendlyName; }
    std::optional<std::string> baseName() const override { return base_; }
    std::optional<std::string> serviceType() const override { return std::string(kIOSerialStreamType); }
    std::optional<std::string> suffix() const override { return suffix_; }

private:
    platform::SerialDeviceInfo info_;
    std::string base_, suffix_;
};

KivSerialDeviceWatcher::Devices toDevices(const std::vector<platform::SerialDeviceInfo>& infos) {
    KivSerialDeviceWatcher::Devices devices;
    for (const auto& info : infos) devices.push_back(std::make_shared<ListedSerialDevice>(info));
    return devices;
}

// Real devices first, in udev's order, then the virtual ports by name.
class MachineWatcher final : public KivSerialDeviceWatcher {
public:
    MachineWatcher(bool useUdev, std::string virtualFolder)
        : useUdev_(useUdev), virtualFolder_(std::move(virtualFolder)) {}

    Subscription subscribe(void* context, Callback published, Callback terminated) override {
        Subscription s;
        auto onPublished = [=](const auto& batch) { published(context, toDevices(batch)); };
        auto onTerminated = [=](const auto& batch) { terminated(context, toDevices(batch)); };
        if (useUdev_) subscribeUdev(s, onPublished, onTerminated);
        virtual_ = std::make_unique<platform::VirtualSerialMonitor>(
            virtualFolder_, platform::VirtualSerialMonitor::Callbacks{onPublished, onTerminated});
        const auto present = toDevices(virtual_->present());
        s.present.insert(s.present.end(), present.begin(), present.end());
        // Without a runtime folder there are simply no virtual ports: not worth a log line.
        s.published = true;
        s.terminated = s.terminated || virtual_->isWatching();
        return s;
    }

private:
    // The monitor listens before the devices are listed: one plugged in or
    // pulled out in between is then still reported.
    template <typename Published, typename Terminated>
    void subscribeUdev(Subscription& s, Published onPublished, Terminated onTerminated) {
        monitor_ = std::make_unique<platform::SerialDeviceMonitor>(
            platform::SerialDeviceMonitor::Callbacks{onPublished, onTerminated, nullptr});
        std::string error;
        const auto present = monitor_->present(&error);
        if (!error.empty()) {
            // Virtual ports can still be listed.
            platform::systemLog("%s", error.c_str());
            monitor_.reset();
            return;
        }
        s.present = toDevices(present);
        if (!monitor_->isWatching()) {
            // The ports present are still worth listing; only hot-plug is lost.
            platform::systemLog("%s", monitor_->error().c_str());
        }
        s.terminated = monitor_->isWatching();
    }

    bool useUdev_;
    std::string virtualFolder_;
    std::unique_ptr<platform::SerialDeviceMonitor> monitor_;
    std::unique_ptr<platform::VirtualSerialMonitor> virtual_;
};

}  // namespace

std::unique_ptr<KivSerialDeviceWatcher> makeMachineSerialDeviceWatcher() {
    return std::make_unique<MachineWatcher>(true, gimbal::virtualSerialFolder());
}

std::unique_ptr<KivSerialDeviceWatcher> makeVirtualSerialDeviceWatcher(const std::string& folder) {
    return std::make_unique<MachineWatcher>(false, folder);
}

}  // namespace serial
