// Frames written to a serial port: when a port is present and open, and
// dropped without a word otherwise (the page timer then tells the user).
#pragma once

#include <memory>
#include <optional>

#include "upgrader/engine/upgrade_view.h"

class KivSerialPort;

namespace upgrader {

std::optional<bool> writeToOpenPort(const std::shared_ptr<KivSerialPort>& port, const Bytes& frame);

}  // namespace upgrader
