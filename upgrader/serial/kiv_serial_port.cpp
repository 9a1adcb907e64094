// Creation, identity, the class-wide registry, device properties and the
// property setters of KivSerialPort.
#include "upgrader/serial/kiv_serial_port.h"

#include "upgrader/platform/read_source.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/serial/kiv_assert.h"
#include "upgrader/serial/kiv_serial_port_connection.h"
#include "upgrader/serial/kiv_serial_port_registry.h"

namespace serial {

namespace {

constexpr const char* kRequestHandlingQueueLabel = "com.gimbaltools.quenlo.KivSerialPort.requestHandlingQueue";

}  // namespace

// --- Creation ---

std::shared_ptr<KivSerialPort> KivSerialPort::serialPortWithPath(const std::string& path) {
    const KivSerialDeviceHandle device = deviceFromBSDPath(path);
    return device ? serialPortWithDevice(device) : nullptr;
}

std::shared_ptr<KivSerialPort> KivSerialPort::serialPortWithDevice(const KivSerialDeviceHandle& device) {
    if (!device) {
        kivAssertionFailure("%s requires non-zero device argument.", "-[KivSerialPort initWithDevice:]");
        return nullptr;
    }
    const auto path = bsdCalloutPathFromDevice(device);
    if (!path || path->empty()) return nullptr;  // a device without a node cannot be opened
    return PortRegistry::shared().existingOrAdd(
        *path, [&] { return std::make_shared<KivSerialPort>(Token{}, device, *path); });
}

std::shared_ptr<KivSerialPort> KivSerialPort::init() {
    kivAssertionFailure("KivSerialPort must be init'd using -initWithPath:");
    return serialPortWithPath("");
}

KivSerialDeviceHandle KivSerialPort::deviceFromBSDPath(const std::string& path) {
    if (path.empty()) return nullptr;
    const auto source = kivSerialDeviceSource();
    if (!source) return kivNodeDevice(path);
    for (const auto& device : source->serialDevices()) {
        if (!device || serviceTypeFromDevice(device) != kIOSerialStreamType) continue;
        if (bsdCalloutPathFromDevice(device) == path || bsdDialinPathFromDevice(device) == path) return device;
    }
    return nullptr;
}

KivSerialPort::KivSerialPort(Token, const KivSerialDeviceHandle& device, std::string path)
    : path_(std::move(path)),
      name_(modemNameFromDevice(device).value_or(std::string())),
      device_(device),
      requestHandlingQueue_(std::make_shared<platform::SerialExecutor>(kRequestHandlingQueueLabel)),
      packetListeners_(requestHandlingQueue_,
                       [this](Bytes packet, const auto& descriptor) { reportPacket(std::move(packet), descriptor); }),
      requestQueue_(requestHandlingQueue_, requestQueuePort()) {
    // The defaults, set as the setters would on a closed port.
    setBaudRate(19200);
    setAllowsNonStandardBaudRates(false);
    setNumberOfStopBits(1);
    setParity(0);
}

KivSerialPort::~KivSerialPort() {
    removeSerialPort(this);
    // Cancelling the read source closes an open device on the poll thread;
    // its handlers hold the connection, not the port.
    if (readPollSource_) readPollSource_->cancel();
}

// --- Registry ---

void KivSerialPort::addSerialPort(const std::shared_ptr<KivSerialPort>& port) {
    PortRegistry::shared().add(port);
}

void KivSerialPort::removeSerialPort(const KivSerialPort* port) {
    PortRegistry::shared().remove(port);
}

std::shared_ptr<KivSerialPort> KivSerialPort::existingPortWithPath(const std::string& path) {
    return PortRegistry::shared().existing(path);
}

std::vector<std::shared_ptr<KivSerialPort>> KivSerialPort::allSerialPorts() {
    return PortRegistry::shared().live();
}

// --- Device properties ---

std::optional<std::string> KivSerialPort::stringPropertyOfForIOSerialKey(const KivSerialDeviceHandle& device,
                                                                         std::string_view key) {
    if (!device) return std::nullopt;
    if (key == kIOCalloutDeviceKey) return device->calloutPath();
    if (key == kIODialinDeviceKey) return device->dialinPath();
    if (key == kIOTTYDeviceKey) return device->ttyName();
    if (key == kIOTTYBaseNameKey) return device->baseName();
    if (key == kIOSerialBSDClientTypeKey) return device->serviceType();
    if (key == kIOTTYSuffixKey) return device->suffix();
    return std::nullopt;
}

std::optional<std::string> KivSerialPort::bsdCalloutPathFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIOCalloutDeviceKey);
}

std::optional<std::string> KivSerialPort::bsdDialinPathFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIODialinDeviceKey);
}

std::optional<std::string> KivSerialPort::baseNameFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIOTTYBaseNameKey);
}

std::optional<std::string> KivSerialPort::serviceTypeFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIOSerialBSDClientTypeKey);
}

std::optional<std::string> KivSerialPort::modemNameFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIOTTYDeviceKey);
}

std::optional<std::string> KivSerialPort::suffixFromDevice(const KivSerialDeviceHandle& device) {
    return stringPropertyOfForIOSerialKey(device, kIOTTYSuffixKey);
}

// --- Plain properties ---

KivSerialDeviceHandle KivSerialPort::IOKitDevice() const {
    std::lock_guard lock(stateMutex_);
    return device_;
}

void KivSerialPort::setIOKitDevice(KivSerialDeviceHandle device) {
    std::lock_guard lock(stateMutex_);
    device_ = std::move(device);
}

termios KivSerialPort::originalPortAttributes() const {
    std::lock_guard lock(stateMutex_);
    return originalPortAttributes_;
}

std::shared_ptr<KivSerialPortDelegate> KivSerialPort::delegate() const {
    std::lock_guard lock(stateMutex_);
    return delegate_.lock();
}

void KivSerialPort::setDelegate(const std::shared_ptr<KivSerialPortDelegate>& delegate) {
    std::lock_guard lock(stateMutex_);
    delegate_ = delegate;
}

unsigned KivSerialPort::readHandlerRunCount() const {
    std::lock_guard lock(stateMutex_);
    return connection_ ? connection_->readHandlerRuns.load() : 0;
}

PortOptions KivSerialPort::portOptions() const {
    return PortOptions{baudRate_,
                       numberOfStopBits_,
                       parity_,
                       shouldEchoReceivedData_,
                       usesRTSCTSFlowControl_,
                       usesDTRDSRFlowControl_,
                       usesDCDOutputFlowControl_};
}

}  // namespace serial
