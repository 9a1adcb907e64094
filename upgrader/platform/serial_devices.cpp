#include "upgrader/platform/serial_devices.h"

#include <cstdlib>
#include <string_view>

#include "upgrader/platform/serial_devices_udev.h"
#include "upgrader/platform/udev_handles.h"

namespace platform {

bool isRealSerialPort(const TtyFacts& facts) {
    if (!facts.hasParentDevice) return false;
    // A serial-core port of unknown type (most ttyS* on a PC) has no UART.
    return !(facts.serialCoreType && *facts.serialCoreType == 0);
}

std::string friendlySerialName(const std::string& product, const std::string& sysname) {
    return product.empty() ? sysname : product + " (" + sysname + ")";
}

namespace {

const char* orEmpty(const char* s) {
    return s ? s : "";
}

std::string productName(udev_device* dev) {
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
        const std::string product = orEmpty(udev_device_get_sysattr_value(usb, "product"));
        if (!product.empty()) return product;
    }
    for (const char* key : {"ID_MODEL_FROM_DATABASE", "ID_MODEL"}) {
        std::string model = orEmpty(udev_device_get_property_value(dev, key));
        for (char& c : model)
            if (c == '_') c = ' ';
        if (!model.empty()) return model;
    }
    return {};
}

}  // namespace

std::optional<SerialDeviceInfo> describeSerialDevice(udev_device* dev) {
    const char* node = udev_device_get_devnode(dev);
    if (!node) return std::nullopt;
    TtyFacts facts;
    facts.hasParentDevice = udev_device_get_parent(dev) != nullptr;
    if (const char* type = udev_device_get_sysattr_value(dev, "type"))
        facts.serialCoreType = std::strtol(type, nullptr, 10);
    if (!isRealSerialPort(facts)) return std::nullopt;
    SerialDeviceInfo info;
    info.syspath = orEmpty(udev_device_get_syspath(dev));
    info.node = node;
    info.sysname = orEmpty(udev_device_get_sysname(dev));
    info.friendlyName = friendlySerialName(productName(dev), info.sysname);
    return info;
}

std::vector<SerialDeviceInfo> enumerateSerialDevices(std::string* error) {
    std::vector<SerialDeviceInfo> devices;
    udev::Udev ctx(udev_new());
    udev::Enumerate en(ctx ? udev_enumerate_new(ctx.get()) : nullptr);
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 || udev_enumerate_scan_devices(en.get()) < 0) {
        if (error) *error = "udev: cannot list tty devices";
        return devices;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
        udev::Device dev(udev_device_new_from_syspath(ctx.get(), udev_list_entry_get_name(entry)));
        if (!dev) continue;
        if (auto info = describeSerialDevice(dev.get())) devices.push_back(std::move(*info));
    }
    return devices;
}

}  // namespace platform
