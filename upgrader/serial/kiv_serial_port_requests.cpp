// Where packet listening and the request queue join the port. All of these
// run on the port's request-handling executor (the destructor's clean-up
// excepted). Until those parts exist they have nothing to do beyond walking
// the received bytes in order.
#include "upgrader/serial/kiv_serial_port.h"

// Every byte of a chunk, in order: packet listeners first, then the response
// check of the request in flight.
void KivSerialPort::processReceivedBytes(const Bytes& chunk)
{
    for (const std::uint8_t byte : chunk) {
        feedPacketListeners(byte);
        checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(byte);
    }
}

void KivSerialPort::feedPacketListeners(std::uint8_t)
{
    // No packet descriptors yet.
}

void KivSerialPort::checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(std::optional<std::uint8_t>)
{
    // No request queue yet, so never a request in flight.
}

// After a close whose delegate implements serialPortWasClosed: queued
// requests and the request in flight are dropped here.
void KivSerialPort::clearRequestsAfterClose()
{
}

void KivSerialPort::cancelPendingRequestTimeoutTimer()
{
}
