#include "upgrader/serial/kiv_exit_wait.h"

#include "upgrader/platform/application.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace serial {

namespace {

bool anyPortOpen() {
    for (const auto& port : KivSerialPort::allSerialPorts())
        if (port->isOpen()) return true;
    return false;
}

}  // namespace

bool waitForPortClosesBeforeExit(std::chrono::milliseconds limit, const std::function<bool()>& alsoDone) {
    return platform::runMainLoopUntil(
        [&] { return KivSerialPort::closesUnderWay() == 0 && !anyPortOpen() && (!alsoDone || alsoDone()); }, limit);
}

}  // namespace serial
