// The packet listeners of one port: a buffer per descriptor listened for, fed
// every received byte; a buffer whose tail forms a packet of its descriptor
// reports the packet and starts over.
//
// Threads: start and stop make their change on the port's request-handling
// executor and block the caller until it is made (from that executor, as an
// evaluator might, they run at once); descriptors() may be called from any
// thread. feed() and the packet report run on that executor only.
// mutex_ guards the list for readers on other threads; it is replaced, never
// changed in place, and only on the executor, so feed() walks its snapshot
// without the lock and a change made during the walk leaves the walk alone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
class SerialExecutor;
}

namespace serial {

class KivSerialBuffer;
class KivSerialPacketDescriptor;

class KivSerialPacketListeners {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Descriptor = std::shared_ptr<KivSerialPacketDescriptor>;
    using PacketFound = std::function<void(Bytes packet, const Descriptor& descriptor)>;

    KivSerialPacketListeners(std::shared_ptr<platform::SerialExecutor> executor, PacketFound packetFound);

    // Listening again for an equal descriptor (same UUID) does nothing.
    void start(const Descriptor& descriptor);
    // Drops the descriptor's buffer with whatever it had collected.
    void stop(const Descriptor& descriptor);
    // In listening order.
    std::vector<Descriptor> descriptors() const;

    void feed(std::uint8_t byte);

private:
    using Listener = std::pair<Descriptor, std::shared_ptr<KivSerialBuffer>>;
    using List = std::vector<Listener>;

    bool listening(const Descriptor& descriptor) const;  // mutex_ held

    const std::shared_ptr<platform::SerialExecutor> executor_;
    const PacketFound packetFound_;
    mutable std::mutex mutex_;
    std::shared_ptr<const List> listeners_ = std::make_shared<const List>();
};

}  // namespace serial
