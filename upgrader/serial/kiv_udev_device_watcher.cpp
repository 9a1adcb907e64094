// The port manager's device source on udev. A device's TTY name is the
// friendly name udev gives it, so that is what a port shows as its name.
#include <memory>

#include "upgrader/platform/serial_device_monitor.h"
#include "upgrader/platform/serial_devices.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/serial/kiv_serial_device_watcher.h"

namespace {

class UdevSerialDevice final : public KivSerialDevice {
public:
    explicit UdevSerialDevice(const platform::SerialDeviceInfo& info) : info_(info) {
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
    for (const auto& info : infos) devices.push_back(std::make_shared<UdevSerialDevice>(info));
    return devices;
}

class UdevWatcher final : public KivSerialDeviceWatcher {
public:
    Subscription subscribe(void* context, Callback published, Callback terminated) override {
        Subscription s;
        std::string error;
        const auto present = platform::enumerateSerialDevices(&error);
        if (!error.empty()) {
            platform::systemLog("%s", error.c_str());
            return s;
        }
        s.present = toDevices(present);
        platform::SerialDeviceMonitor::Callbacks callbacks;
        callbacks.published = [=](const auto& batch) { published(context, toDevices(batch)); };
        callbacks.terminated = [=](const auto& batch) { terminated(context, toDevices(batch)); };
        monitor_ = std::make_unique<platform::SerialDeviceMonitor>(std::move(callbacks), present);
        if (!monitor_->isWatching()) {
            // The ports present are still worth listing; only hot-plug is lost.
            platform::systemLog("%s", monitor_->error().c_str());
        }
        s.published = true;
        s.terminated = monitor_->isWatching();
        return s;
    }

private:
    std::unique_ptr<platform::SerialDeviceMonitor> monitor_;
};

}  // namespace

std::unique_ptr<KivSerialDeviceWatcher> makeUdevSerialDeviceWatcher() { return std::make_unique<UdevWatcher>(); }
