#include "upgrader/engine/port_frame_writer.h"

#include "upgrader/serial/kiv_serial_port.h"

namespace upgrader {

std::optional<bool> writeToOpenPort(const std::shared_ptr<KivSerialPort>& port, const Bytes& frame) {
    if (!port || !port->isOpen()) return std::nullopt;
    return port->sendData(frame);
}

}  // namespace upgrader
