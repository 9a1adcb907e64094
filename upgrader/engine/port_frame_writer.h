// Frames written to a serial port: when a port is present and open, and
// dropped without a word otherwise (the page timer then tells the user).
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "upgrader/engine/upgrade_view.h"

namespace serial {
class KivSerialPort;
}  // namespace serial

namespace engine {

std::optional<bool> writeToOpenPort(const std::shared_ptr<serial::KivSerialPort>& port, const Bytes& frame);

// Calls `then` on the main thread once the bytes waiting in the port's input
// have been read and handed to the main thread (FrameWriter::afterWaitingInput):
// while the driver holds unread bytes it looks again every few milliseconds
// (for at most a second), then it leaves the reader a moment to hand over
// what it read last. At once without an open port.
void afterWaitingInput(const std::shared_ptr<serial::KivSerialPort>& port, std::function<void()> then);

}  // namespace engine
