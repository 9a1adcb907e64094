// Property setters of KivSerialPort that apply themselves to an open device.
#include "upgrader/serial/kiv_serial_port.h"
#include "upgrader/serial/kiv_serial_port_connection.h"

namespace serial {

void KivSerialPort::setBaudRate(std::uint32_t baudRate) {
    if (baudRate == baudRate_) return;
    baudRate_ = baudRate;
    setPortOptions();
}

void KivSerialPort::setAllowsNonStandardBaudRates(bool allows) {
    allowsNonStandardBaudRates_ = allows;
}

void KivSerialPort::setNumberOfStopBits(unsigned numberOfStopBits) {
    if (numberOfStopBits == numberOfStopBits_) return;
    numberOfStopBits_ = numberOfStopBits;
    setPortOptions();
}

void KivSerialPort::setParity(unsigned parity) {
    // Compared before normalising: an out-of-range value while parity is
    // none still applies the options once.
    if (parity == parity_) return;
    parity_ = normalisedParity(parity);
    setPortOptions();
}

void KivSerialPort::setShouldEchoReceivedData(bool echo) {
    if (echo == shouldEchoReceivedData_) return;
    shouldEchoReceivedData_ = echo;
    setPortOptions();
}

// The close completes later on the poll thread, so an open port is reopened
// from there once it is really closed; reopening at once would find it still
// open and leave it closed.
void KivSerialPort::closeAndReopen(const std::function<void()>& store) {
    std::shared_ptr<Connection> reopen;
    {
        std::lock_guard lock(stateMutex_);
        if (isOpen() && readPollSource_)  // open and not already closing
            reopen = connection_;
    }
    if (reopen) reopen->reopenAfterClose.store(true);
    close();
    store();
    setPortOptions();
}

void KivSerialPort::setUsesRTSCTSFlowControl(bool uses) {
    if (uses != usesRTSCTSFlowControl_) closeAndReopen([&] { usesRTSCTSFlowControl_ = uses; });
}

void KivSerialPort::setUsesDTRDSRFlowControl(bool uses) {
    if (uses != usesDTRDSRFlowControl_) closeAndReopen([&] { usesDTRDSRFlowControl_ = uses; });
}

void KivSerialPort::setUsesDCDOutputFlowControl(bool uses) {
    if (uses != usesDCDOutputFlowControl_) closeAndReopen([&] { usesDCDOutputFlowControl_ = uses; });
}

void KivSerialPort::setRTS(bool rts) {
    if (rts == RTS_) return;
    RTS_ = rts;
    updateModemLines();
}

void KivSerialPort::setDTR(bool dtr) {
    if (dtr == DTR_) return;
    DTR_ = dtr;
    updateModemLines();
}

}  // namespace serial
