// The receiver of a port's callbacks. Every callback arrives on the main
// thread. The port holds its delegate by a weak reference: a delegate that
// has gone receives nothing.
//
// Every callback but the first is optional. Before each call the port asks
// respondsToCallback(); a delegate that answers false for a callback is not
// called, and where the port's behaviour depends on it (a delegate without
// serialPortWasClosed keeps its queued requests across a close) the answer
// decides. The default answers true for all; the bodies of callbacks a
// subclass does not override do nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "upgrader/serial/kiv_posix_error.h"

namespace serial {

class KivSerialPort;
class KivSerialPacketDescriptor;  // packet listening
class KivSerialRequest;           // request queue

enum class KivSerialPortDelegateCallback {
    WasRemovedFromSystem,  // required
    DidReceiveData,
    DidEncounterError,
    WasOpened,
    WasClosed,
    DidReceivePacketMatchingDescriptor,
    DidReceiveResponseToRequest,
    RequestDidTimeout,
};

class KivSerialPortDelegate {
public:
    using Port = std::shared_ptr<KivSerialPort>;
    using Bytes = std::vector<std::uint8_t>;

    virtual ~KivSerialPortDelegate() = default;

    virtual bool respondsToCallback(KivSerialPortDelegateCallback) const { return true; }

    // The device disappeared. The sending thread waits until this returns.
    virtual void serialPortWasRemovedFromSystem(const Port& serialPort) = 0;
    // One chunk of at most 1024 bytes, in read order; queued.
    virtual void serialPortDidReceiveData(const Port&, const Bytes&) {}
    virtual void serialPortDidEncounterError(const Port&, const KivPosixError&) {}
    // Queued; always before the first data of that open.
    virtual void serialPortWasOpened(const Port&) {}
    // The descriptor was closed. The sending thread waits until this returns.
    virtual void serialPortWasClosed(const Port&) {}
    // The three below are queued, in the order the port's executor found them.
    // A packet of a descriptor being listened for.
    virtual void serialPortDidReceivePacketMatchingDescriptor(const Port&, const Bytes&,
                                                              const std::shared_ptr<KivSerialPacketDescriptor>&) {}
    virtual void serialPortDidReceiveResponseToRequest(const Port&, const Bytes&,
                                                       const std::shared_ptr<KivSerialRequest>&) {}
    // The request in flight timed out (once at most); the next request is sent
    // only after this returns, so requests sent from here queue behind it.
    virtual void serialPortRequestDidTimeout(const Port&, const std::shared_ptr<KivSerialRequest>&) {}
};

}  // namespace serial
