// Packet listening: every received byte goes into one buffer per descriptor
// listened for, and a buffer whose tail forms a packet reports it and starts
// over. The received bytes enter here, on the request-handling executor.
#include <algorithm>

#include "upgrader/platform/serial_executor.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_packet_descriptor.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace {

template <typename Entries>
auto findDescriptor(Entries& entries, const KivSerialPacketDescriptor& descriptor)
{
    return std::find_if(entries.begin(), entries.end(), [&](const auto& entry) { return *entry.first == descriptor; });
}

}  // namespace

void KivSerialPort::startListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor)
{
    if (!descriptor)
        return;
    {
        std::lock_guard lock(requestStateMutex_);
        if (findDescriptor(*packetDescriptorsAndBuffers_, *descriptor) != packetDescriptorsAndBuffers_->end())
            return;
    }
    requestHandlingQueue_->sync([&] {
        auto buffer = KivSerialBuffer::initWithMaximumLength(descriptor->maximumPacketLength());
        std::lock_guard lock(requestStateMutex_);
        // Checked again here: two threads may have started the same descriptor.
        if (findDescriptor(*packetDescriptorsAndBuffers_, *descriptor) != packetDescriptorsAndBuffers_->end())
            return;
        auto changed = std::make_shared<std::vector<DescriptorAndBuffer>>(*packetDescriptorsAndBuffers_);
        changed->emplace_back(descriptor, std::move(buffer));
        packetDescriptorsAndBuffers_ = std::move(changed);
    });
}

void KivSerialPort::stopListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor)
{
    if (!descriptor)
        return;
    requestHandlingQueue_->sync([&] {
        std::lock_guard lock(requestStateMutex_);
        auto changed = std::make_shared<std::vector<DescriptorAndBuffer>>(*packetDescriptorsAndBuffers_);
        const auto entry = findDescriptor(*changed, *descriptor);
        if (entry == changed->end())
            return;
        changed->erase(entry);
        packetDescriptorsAndBuffers_ = std::move(changed);
    });
}

std::vector<std::shared_ptr<KivSerialPacketDescriptor>> KivSerialPort::packetDescriptors() const
{
    std::lock_guard lock(requestStateMutex_);
    std::vector<std::shared_ptr<KivSerialPacketDescriptor>> descriptors;
    descriptors.reserve(packetDescriptorsAndBuffers_->size());
    for (const auto& entry : *packetDescriptorsAndBuffers_)
        descriptors.push_back(entry.first);
    return descriptors;
}

// Every byte of a chunk, in order: packet listeners first, then the response
// check of the request in flight.
void KivSerialPort::processReceivedBytes(const Bytes& chunk)
{
    for (const std::uint8_t byte : chunk) {
        feedPacketListeners(byte);
        checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(byte);
    }
}

void KivSerialPort::feedPacketListeners(std::uint8_t byte)
{
    const std::uint8_t single[1] = {byte};
    // Held for the walk: an evaluator may start or stop listening, which then
    // runs right here on the executor and replaces the list, not this copy.
    const auto listeners = packetDescriptorsAndBuffers_;
    for (const auto& [descriptor, buffer] : *listeners) {
        buffer->appendData(single);
        auto packet = descriptor->packetMatchingAtEndOfBuffer(buffer->data());
        if (!packet || packet->empty())
            continue;
        if (delegateResponds(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor)) {
            mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor,
                                  // Named init-capture: clang before 16 cannot capture a structured binding.
                                  [packet = std::move(*packet), descriptor = descriptor](
                                      KivSerialPortDelegate& delegate, const auto& port) {
                                      delegate.serialPortDidReceivePacketMatchingDescriptor(port, packet,
                                                                                            descriptor);
                                  });
        }
        buffer->clearBuffer();
    }
}
