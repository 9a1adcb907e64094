// One serial device of the machine as an object: opens the device's callout
// node exclusively in raw 8-bit mode, reads in the background and hands each
// chunk to its delegate on the main thread, writes synchronously, polls the
// modem input lines every 10 ms and reports failing system calls to the
// delegate as POSIX errors. There is at most one live port per device path:
// asking again for a represented path answers the same object.
//
// Threads:
//  - Main thread: every public call (open, close, sendData, setters, creation)
//    and every delegate callback. sendData may also be called from the
//    request-handling executor; it blocks until the driver took every byte.
//  - Background poll thread (platform/background_queue.h): the read handler,
//    the modem-line poll and the real close. The closed and removed callbacks,
//    line-state changes and a device-gone error make that thread wait for the
//    main thread, so a delegate must not block the main thread waiting for it.
//  - The port's own serial executor (requestHandlingQueue): per-byte packet and
//    request bookkeeping and request time-outs, in its packet listeners and
//    request queue (kiv_serial_packet_listeners.h, kiv_serial_request_queue.h),
//    each with its own lock. startListening/stopListening
//    and sendRequest block their caller until the executor has done the work
//    (so call them from anywhere but that executor); the cancel calls return
//    at once and take effect there later. Packet, response and time-out
//    callbacks reach the delegate queued on the main thread, in the order the
//    executor produced them.
//  A port may be destroyed on any thread; dropping the last reference to an
//  open port closes its device quietly on the poll thread.
//
// Linux notes: DTR/DSR and carrier flow control are stored but have no
// effect (Linux has neither); a hang-up (device unplugged, pty master gone)
// counts as removal of the device; a device without modem lines (a pty) is
// reported once per open and its lines are not polled further.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "upgrader/serial/kiv_port_options.h"
#include "upgrader/serial/kiv_serial_device.h"
#include "upgrader/serial/kiv_serial_packet_listeners.h"
#include "upgrader/serial/kiv_serial_port_delegate.h"
#include "upgrader/serial/kiv_serial_request_queue.h"

namespace platform {
class ReadSource;
class SerialExecutor;
}  // namespace platform

namespace serial {

class KivSerialPacketDescriptor;
class KivSerialRequest;

class KivSerialPort : public std::enable_shared_from_this<KivSerialPort> {
    struct Token {};  // keeps construction to the factories

public:
    using Bytes = std::vector<std::uint8_t>;

    // --- Creation (each answers a port or none) ---
    // The device whose callout or dial-in path is `path`; none for an unknown path.
    static std::shared_ptr<KivSerialPort> serialPortWithPath(const std::string& path);
    // The live port with the device's callout path, else a new one.
    static std::shared_ptr<KivSerialPort> serialPortWithDevice(const KivSerialDeviceHandle& device);
    // Always a caller error: raises an assertion failure and answers none.
    static std::shared_ptr<KivSerialPort> init();
    static KivSerialDeviceHandle deviceFromBSDPath(const std::string& path);

    KivSerialPort(Token, const KivSerialDeviceHandle& device, std::string path);
    ~KivSerialPort();
    KivSerialPort(const KivSerialPort&) = delete;
    KivSerialPort& operator=(const KivSerialPort&) = delete;

    // --- Operations ---
    void open();   // outcome through the delegate
    bool close();  // starts the close; answers true
    bool sendData(std::span<const std::uint8_t> data);
    void cleanupAfterSystemRemoval();
    [[deprecated("use cleanupAfterSystemRemoval")]] void cleanup();
    void setPortOptions();
    void updateModemLines();

    // --- Properties ---
    std::string path() const { return path_; }
    std::string name() const { return name_; }
    KivSerialDeviceHandle IOKitDevice() const;
    void setIOKitDevice(KivSerialDeviceHandle device);
    int fileDescriptor() const { return fileDescriptor_.load(); }
    bool isOpen() const { return fileDescriptor() != 0; }
    termios originalPortAttributes() const;

    std::uint32_t baudRate() const { return baudRate_; }
    void setBaudRate(std::uint32_t baudRate);
    bool allowsNonStandardBaudRates() const { return allowsNonStandardBaudRates_; }
    void setAllowsNonStandardBaudRates(bool allows);
    unsigned numberOfStopBits() const { return numberOfStopBits_; }
    void setNumberOfStopBits(unsigned numberOfStopBits);
    unsigned parity() const { return parity_; }  // 0 none, 1 odd, 2 even
    void setParity(unsigned parity);
    bool shouldEchoReceivedData() const { return shouldEchoReceivedData_; }
    void setShouldEchoReceivedData(bool echo);
    bool usesRTSCTSFlowControl() const { return usesRTSCTSFlowControl_; }
    void setUsesRTSCTSFlowControl(bool uses);
    bool usesDTRDSRFlowControl() const { return usesDTRDSRFlowControl_; }
    void setUsesDTRDSRFlowControl(bool uses);
    bool usesDCDOutputFlowControl() const { return usesDCDOutputFlowControl_; }
    void setUsesDCDOutputFlowControl(bool uses);
    bool RTS() const { return RTS_; }
    void setRTS(bool rts);
    bool DTR() const { return DTR_; }
    void setDTR(bool dtr);
    // Input lines as last polled.
    bool CTS() const { return CTS_.load(); }
    bool DSR() const { return DSR_.load(); }
    bool DCD() const { return DCD_.load(); }

    std::shared_ptr<KivSerialPortDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<KivSerialPortDelegate>& delegate);

    const std::shared_ptr<platform::SerialExecutor>& requestHandlingQueue() const { return requestHandlingQueue_; }

    // --- Packet listening: one buffer per descriptor, fed every received byte ---
    // Listening again for an equal descriptor (same UUID) does nothing.
    void startListeningForPacketsMatchingDescriptor(const std::shared_ptr<KivSerialPacketDescriptor>& descriptor);
    // Drops the descriptor's buffer with whatever it had collected.
    void stopListeningForPacketsMatchingDescriptor(const std::shared_ptr<KivSerialPacketDescriptor>& descriptor);
    std::vector<std::shared_ptr<KivSerialPacketDescriptor>> packetDescriptors() const;

    // --- Request queue: one request in flight at a time ---
    // Sends the request, or queues it behind the one in flight (answering
    // true). False when the write failed (a closed port included); the
    // request then stays in flight until its time-out or a close clears it.
    bool sendRequest(const std::shared_ptr<KivSerialRequest>& request);
    // Never cancels the request in flight.
    void cancelQueuedRequest(const std::shared_ptr<KivSerialRequest>& request);
    void cancelAllQueuedRequests();
    std::vector<std::shared_ptr<KivSerialRequest>> queuedRequests() const;
    std::shared_ptr<KivSerialRequest> pendingRequest() const;

    // How often the read handler ran in the current or last open (diagnostics).
    unsigned readHandlerRunCount() const;
    // Bytes the driver holds that the poll thread has not read yet; 0 when
    // closed. Any thread.
    int inputBytesWaiting() const;
    // What sat at the lock path of the last open, was no standing claim and
    // could not be removed (the open went ahead under its other locks); empty
    // when there was none.
    std::string keptLockFile() const;

    // Closes begun on open ports whose real close has not yet finished and
    // told the delegate, over all ports; a program waits for none to be left
    // before it exits (any thread).
    static int closesUnderWay();

    // --- Identity: by path ---
    bool operator==(const KivSerialPort& other) const { return path_ == other.path_; }
    std::size_t hash() const { return std::hash<std::string>{}(path_); }
    std::string description() const { return name_; }

    // --- Registry properties of a device (none when absent) ---
    static std::optional<std::string> bsdCalloutPathFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> bsdDialinPathFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> baseNameFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> serviceTypeFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> modemNameFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> suffixFromDevice(const KivSerialDeviceHandle& device);
    static std::optional<std::string> stringPropertyOfForIOSerialKey(const KivSerialDeviceHandle& device,
                                                                     std::string_view key);

    // --- Registry of live ports (allSerialPorts) ---
    static void addSerialPort(const std::shared_ptr<KivSerialPort>& port);
    static void removeSerialPort(const KivSerialPort* port);
    static std::shared_ptr<KivSerialPort> existingPortWithPath(const std::string& path);
    static std::vector<std::shared_ptr<KivSerialPort>> allSerialPorts();

    struct Connection;  // one open of the device; shared with the poll thread

private:
    PortOptions portOptions() const;

    // open / close / poll
    bool openDevice(Connection& connection);
    int applyAttributesAndSpeed(int fd, termios& attributes, const char*& failedCall);
    void startPolling(const std::shared_ptr<Connection>& connection);
    void handleReadable(Connection& connection);
    void pollPins(Connection& connection);
    void handleHangUp(Connection& connection);
    void reportRemovalAndClose();
    void reallyClosePort(Connection& connection);
    void reportModemLineFailure(Connection* connection, int code, const char* operation);
    void receiveData(Bytes chunk);
    void setInputLine(std::atomic<bool> KivSerialPort::*line, bool value);
    void closeAndReopen(const std::function<void()>& store);

    // delegate
    void notifyDelegateOfPosixError(int code, const char* operation);
    void notifyDelegateOfPosixErrorWaitingUntilDone(int code, const char* operation, bool waitUntilDone);
    bool delegateResponds(KivSerialPortDelegateCallback callback) const;
    void mainQueueCallDelegate(KivSerialPortDelegateCallback callback,
                               std::function<void(KivSerialPortDelegate&, const std::shared_ptr<KivSerialPort>&)> call);
    bool syncCallDelegate(
        KivSerialPortDelegateCallback callback,
        const std::function<void(KivSerialPortDelegate&, const std::shared_ptr<KivSerialPort>&)>& call);

    // Packet listening and the request queue; request-handling executor only.
    void processReceivedBytes(const Bytes& chunk);
    void clearRequestsAfterClose();
    void reportPacket(Bytes packet, const std::shared_ptr<KivSerialPacketDescriptor>& descriptor);
    void reportResponse(Bytes response, const std::shared_ptr<KivSerialRequest>& request);
    bool reportTimeout(const std::shared_ptr<KivSerialRequest>& request, std::function<void()> told);
    KivSerialRequestQueue::Port requestQueuePort();  // the queue's hooks, made at construction

    const std::string path_;
    const std::string name_;

    mutable std::mutex stateMutex_;                         // guards the fields marked so
    KivSerialDeviceHandle device_;                          // stateMutex_
    std::weak_ptr<KivSerialPortDelegate> delegate_;         // stateMutex_
    std::shared_ptr<platform::ReadSource> readPollSource_;  // stateMutex_
    std::shared_ptr<Connection> connection_;                // stateMutex_
    termios originalPortAttributes_{};                      // stateMutex_
    std::string keptLockFile_;                              // stateMutex_

    // Users of the descriptor off the poll thread hold it shared; the real
    // close holds it exclusively, so a descriptor is never used once closed.
    mutable std::shared_mutex descriptorMutex_;
    std::atomic<int> fileDescriptor_{0};

    // Settings: written and read on the main thread.
    std::uint32_t baudRate_ = 19200;
    bool allowsNonStandardBaudRates_ = false;
    unsigned numberOfStopBits_ = 1;
    unsigned parity_ = 0;
    bool shouldEchoReceivedData_ = false;
    bool usesRTSCTSFlowControl_ = false;
    bool usesDTRDSRFlowControl_ = false;
    bool usesDCDOutputFlowControl_ = false;
    bool RTS_ = false;
    bool DTR_ = false;
    std::atomic<bool> CTS_{false};  // written on the main thread, compared on the poll thread
    std::atomic<bool> DSR_{false};
    std::atomic<bool> DCD_{false};

    std::shared_ptr<platform::SerialExecutor> requestHandlingQueue_;
    KivSerialPacketListeners packetListeners_;
    KivSerialRequestQueue requestQueue_;
};

}  // namespace serial

template <>
struct std::hash<serial::KivSerialPort> {
    std::size_t operator()(const serial::KivSerialPort& port) const { return port.hash(); }
};
