// A port delegate that hands received data to an upgrade engine, as the
// window's controller does, and notes when the port closed.
#pragma once

#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace upgrader {

class EngineDelegate : public KivSerialPortDelegate {
public:
    explicit EngineDelegate(UpgradeEngine& engine) : engine_(engine) {}
    void serialPortWasRemovedFromSystem(const Port&) override {}
    void serialPortDidReceiveData(const Port& port, const Bytes& data) override {
        engine_.serialPortDidReceiveData(port, data);
    }
    void serialPortWasClosed(const Port&) override { closed = true; }
    bool closed = false;

private:
    UpgradeEngine& engine_;
};

}  // namespace upgrader
