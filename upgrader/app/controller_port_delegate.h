// The controller's face towards its serial port. The port holds its delegate
// weakly and may have taken a strong reference on its poll thread just before
// the controller went away, so the controller detaches this object in its
// destructor and late callbacks land nowhere.
//
// Threads: every callback arrives on the main thread; detach() is called there.
#pragma once

#include "upgrader/serial/kiv_serial_port_delegate.h"

namespace app {

class ViewController;

class ControllerPortDelegate : public serial::KivSerialPortDelegate {
public:
    explicit ControllerPortDelegate(ViewController& controller) : controller_(&controller) {}
    void detach() { controller_ = nullptr; }

    void serialPortWasRemovedFromSystem(const Port& port) override;
    void serialPortDidReceiveData(const Port& port, const Bytes& data) override;
    void serialPortDidEncounterError(const Port& port, const serial::KivPosixError& error) override;
    void serialPortWasOpened(const Port& port) override;
    void serialPortWasClosed(const Port& port) override;

private:
    ViewController* controller_;
};

}  // namespace app
