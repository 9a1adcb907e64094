#include "upgrader/engine/port_frame_writer.h"

#include "upgrader/serial/kiv_serial_port.h"

namespace engine {

std::optional<bool> writeToOpenPort(const std::shared_ptr<serial::KivSerialPort>& port, const Bytes& frame) {
    if (!port || !port->isOpen()) return std::nullopt;
    return port->sendData(frame);
}

}  // namespace engine
