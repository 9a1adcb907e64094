// Opening a port: the exclusive open, terminal attributes, modem lines, and
// the read source and modem-line poll that run while it is open.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <chrono>

#include "link/low_latency.h"
#include "link/posix_io.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/serial/kiv_arbitrary_speed.h"
#include "upgrader/serial/kiv_line_errors.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "upgrader/serial/kiv_serial_port_connection.h"

namespace serial {

namespace {

constexpr std::size_t kReadChunk = 1024;
constexpr auto kPinPollInterval = std::chrono::milliseconds(10);
constexpr auto kPinPollLeeway = std::chrono::milliseconds(5);

// The slave side of a Unix98 pseudo-terminal (device majors 136 to 143).
bool isPseudoTerminal(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const unsigned deviceMajor = major(status.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

}  // namespace

void KivSerialPort::open() {
    if (isOpen()) return;
    auto connection = std::make_shared<Connection>();
    if (!openDevice(*connection)) return;
    {
        std::lock_guard lock(stateMutex_);
        connection_ = connection;
        originalPortAttributes_ = connection->originalAttributes;
        keptLockFile_ = connection->device.keptLockFile();
    }
    if (!connection->device.keptLockFile().empty())
        platform::systemLog("%s", gimbal::keptLockFileText(connection->device.keptLockFile(), path_).c_str());
    fileDescriptor_.store(connection->device.fd());
    setPortOptions();
    // A stop-and-wait link waits out a USB adapter's latency timer on every
    // reply; drivers without the setting (a pty) refuse, which is fine.
    connection->lowLatencyAtOpen = gimbal::requestLowLatency(connection->device.fd());
    updateModemLines();
    // Queued before the read source exists, so it reaches the delegate
    // before any data of this open.
    mainQueueCallDelegate(
        KivSerialPortDelegateCallback::WasOpened,
        [](KivSerialPortDelegate& delegate, const auto& port) { delegate.serialPortWasOpened(port); });
    startPolling(connection);
}

// Exclusive open in raw mode, blocking I/O from here on, attributes saved. On
// failure the error is reported and nothing stays open.
bool KivSerialPort::openDevice(Connection& connection) {
    const char* failedCall = "open";
    // A node that has no attributes is no terminal, and the close could not
    // put them back: the open refuses it ("tcgetattr").
    if (const int error = connection.device.open(path_, failedCall); error != 0) {
        notifyDelegateOfPosixError(error, failedCall);
        return false;
    }
    const int fd = connection.device.fd();
    ::fcntl(fd, F_SETFL, 0);  // reads and writes block from now on; a failure here does no harm
    connection.originalAttributes = connection.device.originalAttributes();
    connection.pseudoTerminal = isPseudoTerminal(fd);
    connection.lineReads = ModemLineReads(modemLinesCostARequest(fd));
    return true;
}

void KivSerialPort::startPolling(const std::shared_ptr<Connection>& connection) {
    const std::weak_ptr<KivSerialPort> weakSelf = weak_from_this();
    auto source = std::make_shared<platform::ReadSource>(
        connection->device.fd(),
        [weakSelf, connection] {
            if (auto self = weakSelf.lock()) self->handleReadable(*connection);
        },
        [weakSelf, connection] {
            // The port held by close() lives until the close is done and told.
            drainOutputThen(connection, [weakSelf, connection, held = connection->takeHeldPort()] {
                if (auto self = weakSelf.lock())
                    self->reallyClosePort(*connection);
                else
                    restoreAndCloseDevice(*connection);  // destroyed while open: close quietly
                closeFinished(*connection);
            });
        });
    connection->readSource = source;
    connection->pinPollTimer = std::make_shared<platform::TimerSource>(std::chrono::nanoseconds(0), kPinPollInterval,
                                                                       kPinPollLeeway, [weakSelf, connection] {
                                                                           if (auto self = weakSelf.lock())
                                                                               self->pollPins(*connection);
                                                                       });
    {
        std::lock_guard lock(stateMutex_);
        readPollSource_ = source;
    }
    source->resume();
    connection->pinPollTimer->resume();
}

void KivSerialPort::setPortOptions() {
    int error = 0;
    const char* failedCall = "tcgetattr";
    {
        std::shared_lock lock(descriptorMutex_);
        const int fd = fileDescriptor();
        if (fd < 1) return;
        termios attributes{};
        if (::tcgetattr(fd, &attributes) == 0) {
            applyPortOptions(attributes, portOptions());
            platform::systemLog("set baudrate:%u", static_cast<unsigned>(baudRate_));
            failedCall = "tcsetattr";
            if (applyAttributesAndSpeed(fd, attributes, failedCall) != 0) error = errno;
        } else {
            error = errno;
        }
    }
    {
        std::lock_guard lock(stateMutex_);
        if (connection_ && error == 0) connection_->lineRate.store(baudRate_);
    }
    // Reported with the descriptor lock released: the delegate may call back.
    if (error != 0) notifyDelegateOfPosixError(error, failedCall);
}

// Writes the attributes with the speed. The C library's table lacks some
// classic rates; those go through the arbitrary-speed request after the
// framing is written. Answers 0, or -1 with errno set and `failedCall`
// naming the failing step.
int KivSerialPort::applyAttributesAndSpeed(int fd, termios& attributes, const char*& failedCall) {
    const bool inTable = isCLibraryBaudRate(baudRate_) && ::cfsetspeed(&attributes, baudRate_) == 0;
    int result = gimbal::retryOnInterrupt([&] { return ::tcsetattr(fd, TCSANOW, &attributes); });
    if (result == 0 && !inTable) {
        failedCall = "set speed";
        if (isStandardBaudRate(baudRate_)) {
            result = setArbitrarySpeed(fd, baudRate_);
        } else {
            errno = EINVAL;
            result = -1;
        }
    }
    // Rate 0 would hang the line up; it is never a speed to ask for.
    if (result != 0 && allowsNonStandardBaudRates_ && baudRate_ != 0) {
        failedCall = "set arbitrary speed";
        result = setArbitrarySpeed(fd, baudRate_);
    }
    return result;
}

void KivSerialPort::updateModemLines() {
    int error = 0;
    {
        std::shared_lock lock(descriptorMutex_);
        const int fd = fileDescriptor();
        if (fd < 1) return;
        int bits = 0;
        ::ioctl(fd, TIOCMGET, &bits);  // may fail on a device without lines; TIOCMSET reports that
        bits = RTS_ ? (bits | TIOCM_RTS) : (bits & ~TIOCM_RTS);
        bits = DTR_ ? (bits | TIOCM_DTR) : (bits & ~TIOCM_DTR);
        if (::ioctl(fd, TIOCMSET, &bits) < 0) error = errno;
    }
    if (error != 0) {
        std::shared_ptr<Connection> connection;
        {
            std::lock_guard lock(stateMutex_);
            connection = connection_;
        }
        reportModemLineFailure(connection.get(), error, "ioctl(TIOCMSET)");
    }
}

// A device without modem lines says so on every call; tell the delegate
// once per open instead of every 10 ms. A pseudo-terminal never has them,
// and a report would read like a failure of the virtual port.
void KivSerialPort::reportModemLineFailure(Connection* connection, int code, const char* operation) {
    if (connection && meansNoModemLines(code) &&
        (connection->pseudoTerminal || connection->modemLinesReported.exchange(true)))
        return;
    notifyDelegateOfPosixError(code, operation);
}

// Poll thread. Reads one chunk; a hang-up is a removal of the device.
void KivSerialPort::handleReadable(Connection& connection) {
    connection.readHandlerRuns.fetch_add(1);
    const int fd = fileDescriptor();
    if (fd == 0 || fd != connection.device.fd() || connection.hangUpHandled.load()) return;
    std::array<std::uint8_t, kReadChunk> buffer{};
    const ssize_t count = gimbal::retryOnInterrupt([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (count > 0) {
        receiveData(Bytes(buffer.begin(), buffer.begin() + count));
        return;
    }
    // A readable descriptor that gives nothing has been hung up.
    if (count == 0 || meansDeviceGone(errno)) handleHangUp(connection);
}

std::string KivSerialPort::keptLockFile() const {
    std::lock_guard lock(stateMutex_);
    return keptLockFile_;
}

int KivSerialPort::inputBytesWaiting() const {
    std::shared_lock lock(descriptorMutex_);  // never a descriptor closed meanwhile, or reused
    const int fd = fileDescriptor();
    int waiting = 0;
    if (fd <= 0 || ::ioctl(fd, FIONREAD, &waiting) != 0) return 0;
    return waiting;
}

void KivSerialPort::handleHangUp(Connection& connection) {
    if (connection.hangUpHandled.exchange(true)) return;
    // Level-triggered: a hung-up descriptor stays readable, so stop watching
    // it before anything else.
    if (auto source = connection.readSource.lock()) source->suspend();
    if (connection.removalReported.exchange(true)) {  // the device monitor was first
        close();
        return;
    }
    connection.removalReportedByHangUp.store(true);
    reportRemovalAndClose();
}

// The per-byte work is queued first: a delegate that has seen the chunk and
// then calls into the executor (stops listening, say) finds the chunk's
// bytes already taken, never still to come.
void KivSerialPort::receiveData(Bytes chunk) {
    requestHandlingQueue_->async([self = shared_from_this(), chunk] { self->processReceivedBytes(chunk); });
    if (delegateResponds(KivSerialPortDelegateCallback::DidReceiveData)) {
        mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceiveData,
                              [chunk = std::move(chunk)](KivSerialPortDelegate& delegate, const auto& port) {
                                  delegate.serialPortDidReceiveData(port, chunk);
                              });
    }
}

// Poll thread, every 10 ms while open; the lines themselves are read when
// that costs little or may have changed (kiv_modem_line_reads.h).
void KivSerialPort::pollPins(Connection& connection) {
    const int fd = fileDescriptor();
    if (fd == 0 || fd != connection.device.fd() || connection.hangUpHandled.load()) {
        platform::backgroundQueueAsync([timer = connection.pinPollTimer] { timer->cancel(); });
        return;
    }
    const auto counts = connection.lineReads.costly() ? readModemLineCounts(fd) : std::nullopt;
    if (!connection.lineReads.shouldRead(counts, ModemLineReads::Clock::now())) return;
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) < 0) {
        const int error = errno;
        const PinPollFailure failure = pinPollFailure(error, connection.lastPinPollError);
        connection.lastPinPollError = error;
        if (failure.removal) {
            if (!connection.hangUpHandled.load()) {
                notifyDelegateOfPosixErrorWaitingUntilDone(error, "ioctl(TIOCMGET)", true);
                handleHangUp(connection);
            }
            return;
        }
        if (failure.stopPolling) connection.pinPollTimer->cancel();
        if (failure.report) reportModemLineFailure(&connection, error, "ioctl(TIOCMGET)");
        return;
    }
    connection.lastPinPollError = 0;
    setInputLine(&KivSerialPort::CTS_, (bits & TIOCM_CTS) != 0);
    setInputLine(&KivSerialPort::DSR_, (bits & TIOCM_DSR) != 0);
    setInputLine(&KivSerialPort::DCD_, (bits & TIOCM_CAR) != 0);
}

void KivSerialPort::setInputLine(std::atomic<bool> KivSerialPort::*line, bool value) {
    if ((this->*line).load() == value) return;
    platform::mainQueueSync([this, line, value] { (this->*line).store(value); });
}

}  // namespace serial
