// Packet listening (kiv_serial_packet_listeners.h): the port's operations
// forward to its listeners, which report packets here on the
// request-handling executor.
#include "upgrader/serial/kiv_serial_port.h"

void KivSerialPort::startListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor)
{
    packetListeners_.start(descriptor);
}

void KivSerialPort::stopListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor)
{
    packetListeners_.stop(descriptor);
}

std::vector<std::shared_ptr<KivSerialPacketDescriptor>> KivSerialPort::packetDescriptors() const
{
    return packetListeners_.descriptors();
}

// Every byte of a chunk, in order: packet listeners first, then the response
// check of the request in flight.
void KivSerialPort::processReceivedBytes(const Bytes& chunk)
{
    for (const std::uint8_t byte : chunk) {
        packetListeners_.feed(byte);
        checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(byte);
    }
}

void KivSerialPort::reportPacket(Bytes packet, const std::shared_ptr<KivSerialPacketDescriptor>& descriptor)
{
    if (!delegateResponds(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor))
        return;
    mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor,
                          [packet = std::move(packet), descriptor](KivSerialPortDelegate& delegate, const auto& port) {
                              delegate.serialPortDidReceivePacketMatchingDescriptor(port, packet, descriptor);
                          });
}
