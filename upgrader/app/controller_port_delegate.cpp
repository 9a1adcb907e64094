#include "upgrader/app/controller_port_delegate.h"

#include "upgrader/app/view_controller.h"

namespace app {

void ControllerPortDelegate::serialPortWasRemovedFromSystem(const Port& port) {
    if (controller_) controller_->serialPortWasRemovedFromSystem(port);
}

void ControllerPortDelegate::serialPortDidReceiveData(const Port& port, const Bytes& data) {
    if (controller_) controller_->serialPortDidReceiveData(port, data);
}

void ControllerPortDelegate::serialPortDidEncounterError(const Port& port, const serial::KivPosixError& error) {
    if (controller_) controller_->serialPortDidEncounterError(port, error);
}

void ControllerPortDelegate::serialPortWasOpened(const Port& port) {
    if (controller_) controller_->serialPortWasOpened(port);
}

void ControllerPortDelegate::serialPortWasClosed(const Port& port) {
    if (controller_) controller_->serialPortWasClosed(port);
}

}  // namespace app
