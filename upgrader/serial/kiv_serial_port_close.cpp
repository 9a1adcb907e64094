// Writing, closing, removal of the device, and delivery of callbacks and
// errors to the delegate.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <utility>

#include "link/posix_io.h"
#include "link/raw_at_open.h"
#include "upgrader/platform/background_queue.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/platform/system_log.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "upgrader/serial/kiv_output_drain.h"
#include "upgrader/serial/kiv_serial_port_connection.h"

namespace serial {

bool KivSerialPort::sendData(std::span<const std::uint8_t> data) {
    int error = 0;
    {
        std::shared_lock lock(descriptorMutex_);
        const int fd = fileDescriptor();
        if (fd == 0) return false;
        error = gimbal::writeAll(fd, data).error;
    }
    if (error == 0) return true;
    notifyDelegateOfPosixError(error, "write");
    return false;
}

namespace {
std::atomic<int> closesInFlight{0};
}  // namespace

int KivSerialPort::closesUnderWay() {
    return closesInFlight.load();
}

void closeFinished(KivSerialPort::Connection& connection) {
    if (connection.closeCounted.exchange(false)) closesInFlight.fetch_sub(1);
}

bool KivSerialPort::close() {
    std::shared_ptr<platform::ReadSource> source;
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(stateMutex_);
        if (isOpen()) {
            source = std::move(readPollSource_);
            connection = connection_;
        }
        readPollSource_.reset();
    }
    // Its cancel handler does the real close on the poll thread.
    if (source) {
        if (connection) {
            if (!connection->closeCounted.exchange(true)) closesInFlight.fetch_add(1);
            connection->holdPortUntilClosed(shared_from_this());
        }
        source->cancel();
    }
    return true;
}

void KivSerialPort::Connection::holdPortUntilClosed(std::shared_ptr<KivSerialPort> port) {
    std::lock_guard lock(heldPortMutex_);
    heldPort_ = std::move(port);
}

std::shared_ptr<KivSerialPort> KivSerialPort::Connection::takeHeldPort() {
    std::lock_guard lock(heldPortMutex_);
    return std::exchange(heldPort_, nullptr);
}

bool KivSerialPort::Connection::deviceRemoved() const {
    if (hangUpHandled.load()) return true;
    pollfd line{device.fd(), POLLOUT, 0};
    return ::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void drainOutputThen(const std::shared_ptr<KivSerialPort::Connection>& connection, std::function<void()> then) {
    if (connection->pinPollTimer) connection->pinPollTimer->cancel();
    // A removed device has no line left to drain or set: ftdi_sio would only
    // log failed requests for the attempt.
    if (!connection->device.isOpen() || connection->deviceRemoved()) {
        then();
        return;
    }
    const int fd = connection->device.fd();
    // Flow control off first, so the wait cannot hang on a peer that holds
    // CTS; results are of no use here.
    termios attributes{};
    if (::tcgetattr(fd, &attributes) == 0) {
        clearFlowControl(attributes);
        ::tcsetattr(fd, TCSANOW, &attributes);
    }
    const long queued = queuedOutputBytes(fd);
    if (queued <= 0) {
        then();
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          drainAllowance(queued, bitsPerCharacter(attributes), connection->lineRate.load());
    const std::weak_ptr<KivSerialPort::Connection> weak = connection;
    connection->drainTimer = std::make_shared<platform::TimerSource>(
        kDrainCheckInterval, kDrainCheckInterval, kDrainCheckInterval / 2, [weak, deadline, then = std::move(then)] {
            const auto c = weak.lock();
            if (!c || !c->drainTimer) return;
            const bool drained = queuedOutputBytes(c->device.fd()) <= 0;
            if (!drained && std::chrono::steady_clock::now() < deadline) return;
            if (!drained) ::tcflush(c->device.fd(), TCOFLUSH);
            c->drainTimer->cancel();
            // The timer holds this handler and so what `then` holds: let it go
            // once the handler has returned.
            platform::backgroundQueueAsync([c] { c->drainTimer.reset(); });
            then();
        });
    connection->drainTimer->resume();
}

static void restoreAttributes(KivSerialPort::Connection& connection) {
    if (!connection.device.isOpen() || connection.deviceRemoved()) return;
    gimbal::restoreLowLatency(connection.device.fd(), connection.lowLatencyAtOpen);
    const termios left = gimbal::attributesToLeaveAtClose(connection.originalAttributes);
    ::tcsetattr(connection.device.fd(), TCSANOW, &left);
}

int restoreAndCloseDevice(KivSerialPort::Connection& connection) {
    restoreAttributes(connection);
    return connection.device.close();
}

// Poll thread, once the output has drained: the rest of the real close.
void KivSerialPort::reallyClosePort(Connection& connection) {
    restoreAttributes(connection);
    int closeError = 0;
    {
        // Only the close itself waits for writers: a write in progress never
        // meets a closed (or reused) descriptor.
        std::unique_lock lock(descriptorMutex_);
        if (connection.device.close() != 0) closeError = errno;
        // Linux releases the descriptor even when close() fails, so the port
        // is closed either way; keeping the number would let a later write
        // reach whatever file reuses it.
        fileDescriptor_.store(0);
    }
    if (closeError != 0) notifyDelegateOfPosixError(closeError, "close");
    const bool delegateWasTold =
        syncCallDelegate(KivSerialPortDelegateCallback::WasClosed,
                         [](KivSerialPortDelegate& delegate, const auto& port) { delegate.serialPortWasClosed(port); });
    if (delegateWasTold) requestHandlingQueue_->async([self = shared_from_this()] { self->clearRequestsAfterClose(); });
    if (connection.reopenAfterClose.load()) platform::mainQueueAsync([self = shared_from_this()] { self->open(); });
}

void KivSerialPort::cleanupAfterSystemRemoval() {
    // On Linux an unplug is seen twice: as the hang-up of the open device and
    // by the device monitor. The delegate hears of it once.
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(stateMutex_);
        connection = connection_;
    }
    if (connection && connection->removalReportedByHangUp.exchange(false)) {
        close();
        return;
    }
    if (connection) connection->removalReported.store(true);
    reportRemovalAndClose();
}

void KivSerialPort::reportRemovalAndClose() {
    syncCallDelegate(
        KivSerialPortDelegateCallback::WasRemovedFromSystem,
        [](KivSerialPortDelegate& delegate, const auto& port) { delegate.serialPortWasRemovedFromSystem(port); });
    close();
}

void KivSerialPort::cleanup() {
    platform::systemLog(
        "WARNING: Cleanup is deprecated and was never intended to be called publicly. You should update your "
        "code to avoid calling this method.");
    cleanupAfterSystemRemoval();
}

// --- Delegate ---

bool KivSerialPort::delegateResponds(KivSerialPortDelegateCallback callback) const {
    const auto target = delegate();
    return target && target->respondsToCallback(callback);
}

void KivSerialPort::mainQueueCallDelegate(
    KivSerialPortDelegateCallback callback,
    std::function<void(KivSerialPortDelegate&, const std::shared_ptr<KivSerialPort>&)> call) {
    platform::mainQueueAsync([self = shared_from_this(), callback, call = std::move(call)] {
        // Looked up when delivered: the delegate may have gone or changed.
        if (const auto target = self->delegate(); target && target->respondsToCallback(callback)) call(*target, self);
    });
}

// Runs the callback on the main thread and waits; answers whether the
// delegate implements it.
bool KivSerialPort::syncCallDelegate(
    KivSerialPortDelegateCallback callback,
    const std::function<void(KivSerialPortDelegate&, const std::shared_ptr<KivSerialPort>&)>& call) {
    bool responded = false;
    platform::mainQueueSync([&, self = shared_from_this()] {
        if (const auto target = self->delegate(); target && target->respondsToCallback(callback)) {
            responded = true;
            call(*target, self);
        }
    });
    return responded;
}

void KivSerialPort::notifyDelegateOfPosixError(int code, const char* operation) {
    notifyDelegateOfPosixErrorWaitingUntilDone(code, operation, false);
}

void KivSerialPort::notifyDelegateOfPosixErrorWaitingUntilDone(int code, const char* operation, bool waitUntilDone) {
    if (!delegateResponds(KivSerialPortDelegateCallback::DidEncounterError)) return;
    const KivPosixError error = KivPosixError::fromErrno(code, path_, operation);
    auto deliver = [error](KivSerialPortDelegate& delegate, const std::shared_ptr<KivSerialPort>& port) {
        delegate.serialPortDidEncounterError(port, error);
    };
    if (platform::isMainThread() || waitUntilDone)
        syncCallDelegate(KivSerialPortDelegateCallback::DidEncounterError, deliver);
    else
        mainQueueCallDelegate(KivSerialPortDelegateCallback::DidEncounterError, deliver);
}

}  // namespace serial
