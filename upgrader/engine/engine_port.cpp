// The engine's only contact with the serial port: a frame is written when a
// port is present and open, and dropped without a word otherwise.
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace upgrader {

bool UpgradeEngine::writeFrame(const Bytes& frame, bool* accepted) {
    if (!serialPort || !serialPort->isOpen()) return false;
    const bool ok = serialPort->sendData(frame);
    if (accepted) *accepted = ok;
    return true;
}

}  // namespace upgrader
