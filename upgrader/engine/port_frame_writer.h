// Frames written to a serial port: when a port is present and open, and
// dropped without a word otherwise (the page timer then tells the user).
#pragma once

#include <memory>
#include <optional>

#include "upgrader/engine/upgrade_view.h"

namespace serial {
class KivSerialPort;
}  // namespace serial

namespace engine {

std::optional<bool> writeToOpenPort(const std::shared_ptr<serial::KivSerialPort>& port, const Bytes& frame);

}  // namespace engine
