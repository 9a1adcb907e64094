// A device source that lists one port and never changes: what the harnesses
// that run the real window against one simulated gimbal install.
#pragma once

#include <string>
#include <utility>

#include "upgrader/serial/kiv_serial_port_manager.h"

class OneDeviceWatcher : public serial::KivSerialDeviceWatcher {
public:
    explicit OneDeviceWatcher(std::string path) : path_(std::move(path)) {}
    Subscription subscribe(void*, Callback, Callback) override {
        return Subscription{true, true, {serial::kivDeviceForNodePath(path_)}};
    }

private:
    std::string path_;
};
