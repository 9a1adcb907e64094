// Packet listening and the request queue (kiv_serial_packet_listeners.h,
// kiv_serial_request_queue.h): the port's operations forward to them, and
// they report to the delegate through the port, on the request-handling
// executor.
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_serial_port.h"

// --- Packet listening ---

namespace serial {

void KivSerialPort::startListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor) {
    packetListeners_.start(descriptor);
}

void KivSerialPort::stopListeningForPacketsMatchingDescriptor(
    const std::shared_ptr<KivSerialPacketDescriptor>& descriptor) {
    packetListeners_.stop(descriptor);
}

std::vector<std::shared_ptr<KivSerialPacketDescriptor>> KivSerialPort::packetDescriptors() const {
    return packetListeners_.descriptors();
}

// --- Request queue ---

bool KivSerialPort::sendRequest(const std::shared_ptr<KivSerialRequest>& request) {
    return requestQueue_.send(request);
}

void KivSerialPort::cancelQueuedRequest(const std::shared_ptr<KivSerialRequest>& request) {
    requestQueue_.cancel(request);
}

void KivSerialPort::cancelAllQueuedRequests() {
    requestQueue_.cancelAll();
}

std::vector<std::shared_ptr<KivSerialRequest>> KivSerialPort::queuedRequests() const {
    return requestQueue_.queued();
}

std::shared_ptr<KivSerialRequest> KivSerialPort::pendingRequest() const {
    return requestQueue_.pending();
}

// --- Request-handling executor ---

// Every byte of a chunk, in order: packet listeners first, then the response
// check of the request in flight.
void KivSerialPort::processReceivedBytes(const Bytes& chunk) {
    for (const std::uint8_t byte : chunk) {
        packetListeners_.feed(byte);
        requestQueue_.takeReceivedByte(byte);
    }
}

void KivSerialPort::clearRequestsAfterClose() {
    requestQueue_.clearAfterClose();
}

void KivSerialPort::reportPacket(Bytes packet, const std::shared_ptr<KivSerialPacketDescriptor>& descriptor) {
    if (!delegateResponds(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor)) return;
    mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceivePacketMatchingDescriptor,
                          [packet = std::move(packet), descriptor](KivSerialPortDelegate& delegate, const auto& port) {
                              delegate.serialPortDidReceivePacketMatchingDescriptor(port, packet, descriptor);
                          });
}

// The queue lives inside the port, so its hooks may hold the port by `this`.
KivSerialRequestQueue::Port KivSerialPort::requestQueuePort() {
    return {
        .send = [this](std::span<const std::uint8_t> data) { return sendData(data); },
        .responded = [this](Bytes response, const auto& request) { reportResponse(std::move(response), request); },
        .timedOut = [this](const auto& request,
                           std::function<void()> told) { return reportTimeout(request, std::move(told)); },
        .keepAlive = [this] { return std::shared_ptr<void>(shared_from_this()); },
    };
}

void KivSerialPort::reportResponse(Bytes response, const std::shared_ptr<KivSerialRequest>& request) {
    if (!delegateResponds(KivSerialPortDelegateCallback::DidReceiveResponseToRequest)) return;
    mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceiveResponseToRequest,
                          [response = std::move(response), request](KivSerialPortDelegate& delegate, const auto& port) {
                              delegate.serialPortDidReceiveResponseToRequest(port, response, request);
                          });
}

// The port stays alive until the delegate has heard and the queue was told.
bool KivSerialPort::reportTimeout(const std::shared_ptr<KivSerialRequest>& request, std::function<void()> told) {
    if (!delegateResponds(KivSerialPortDelegateCallback::RequestDidTimeout)) return false;
    platform::mainQueueAsync([self = shared_from_this(), request, told = std::move(told)] {
        if (const auto target = self->delegate();
            target && target->respondsToCallback(KivSerialPortDelegateCallback::RequestDidTimeout))
            target->serialPortRequestDidTimeout(self, request);
        told();
    });
    return true;
}

}  // namespace serial
