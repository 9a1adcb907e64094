#include "upgrader/serial/kiv_serial_packet_listeners.h"

#include <algorithm>

#include "upgrader/platform/serial_executor.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_packet_descriptor.h"

namespace serial {

namespace {

template <typename List>
auto findListener(List& listeners, const KivSerialPacketDescriptor& descriptor) {
    return std::find_if(listeners.begin(), listeners.end(),
                        [&](const auto& listener) { return *listener.first == descriptor; });
}

}  // namespace

KivSerialPacketListeners::KivSerialPacketListeners(std::shared_ptr<platform::SerialExecutor> executor,
                                                   PacketFound packetFound)
    : executor_(std::move(executor)), packetFound_(std::move(packetFound)) {}

bool KivSerialPacketListeners::listening(const Descriptor& descriptor) const {
    return findListener(*listeners_, *descriptor) != listeners_->end();
}

void KivSerialPacketListeners::start(const Descriptor& descriptor) {
    if (!descriptor) return;
    {
        std::lock_guard lock(mutex_);
        if (listening(descriptor)) return;
    }
    executor_->sync([&] {
        auto buffer = KivSerialBuffer::initWithMaximumLength(descriptor->maximumPacketLength());
        std::lock_guard lock(mutex_);
        // Checked again here: two threads may have started the same descriptor.
        if (listening(descriptor)) return;
        auto changed = std::make_shared<List>(*listeners_);
        changed->emplace_back(descriptor, std::move(buffer));
        listeners_ = std::move(changed);
    });
}

void KivSerialPacketListeners::stop(const Descriptor& descriptor) {
    if (!descriptor) return;
    executor_->sync([&] {
        std::lock_guard lock(mutex_);
        auto changed = std::make_shared<List>(*listeners_);
        const auto listener = findListener(*changed, *descriptor);
        if (listener == changed->end()) return;
        changed->erase(listener);
        listeners_ = std::move(changed);
    });
}

std::vector<KivSerialPacketListeners::Descriptor> KivSerialPacketListeners::descriptors() const {
    std::lock_guard lock(mutex_);
    std::vector<Descriptor> descriptors;
    descriptors.reserve(listeners_->size());
    for (const auto& listener : *listeners_) descriptors.push_back(listener.first);
    return descriptors;
}

void KivSerialPacketListeners::feed(std::uint8_t byte) {
    const std::uint8_t single[1] = {byte};
    // Held for the walk: an evaluator may start or stop listening, which then
    // runs right here and replaces the list, not this copy.
    const auto listeners = listeners_;
    for (const auto& [descriptor, buffer] : *listeners) {
        buffer->appendData(single);
        auto packet = descriptor->packetMatchingAtEndOfBuffer(buffer->data());
        if (!packet || packet->empty()) continue;
        packetFound_(std::move(*packet), descriptor);
        buffer->clearBuffer();
    }
}

}  // namespace serial
