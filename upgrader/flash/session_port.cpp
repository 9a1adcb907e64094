// The session's side of the serial link: opening, the port's callbacks and
// the close at the end.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>

#include "link/exclusive_open.h"
#include "link/frame.h"
#include "upgrader/engine/diagnostics.h"
#include "upgrader/flash/log_echo.h"
#include "upgrader/flash/session.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace flash {

namespace {

class SessionDelegate : public serial::KivSerialPortDelegate {
public:
    explicit SessionDelegate(std::weak_ptr<Session> session) : session_(std::move(session)) {}
    void serialPortWasRemovedFromSystem(const Port&) override {
        if (auto s = session_.lock()) s->portRemoved();
    }
    void serialPortDidReceiveData(const Port& port, const Bytes& data) override {
        if (auto s = session_.lock()) s->portReceived(port, data);
    }
    void serialPortDidEncounterError(const Port&, const serial::KivPosixError& error) override {
        if (auto s = session_.lock()) s->portError(error);
    }
    void serialPortWasClosed(const Port&) override {
        if (auto s = session_.lock()) s->portClosed();
    }

private:
    std::weak_ptr<Session> session_;
};

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// A failure of the exclusive open that keeps the port from us. The lock
// file's other failures are about the lock folder, not the device.
bool isKeptFromPort(const serial::KivPosixError& error) {
    const std::string& op = error.operation;
    if (op == "lock") return error.code == EBUSY || error.code == EWOULDBLOCK;
    return op == "open" || op == "flock" || op == "ioctl(TIOCEXCL)";
}

}  // namespace

void Session::start(const std::shared_ptr<const engine::LoadedImage>& image) {
    engine_.setImage(image);
    // Each port has one session, so each warning is printed once per port.
    for (const std::string& warning : gimbal::portWarnings(path_, systemPaths_)) reporter_.warning(path_, warning);
    const LogPortScope logScope(path_);  // the serial layer logs the line settings while opening
    auto port = serial::KivSerialPort::serialPortWithPath(path_);
    if (!port) {
        const gimbal::PortDiagnosis why = gimbal::diagnosePort(path_, systemPaths_);
        if (why.cause == gimbal::PortCause::Gone)
            portRefused(why);
        else
            finish(ExitCode::PortError, "no serial device at " + path_);
        return;
    }
    delegate_ = std::make_shared<SessionDelegate>(weak_from_this());
    port->setBaudRate(baud_);
    port->setDelegate(delegate_);
    port_ = port;
    std::weak_ptr<Session> self = weak_from_this();
    // A report already waiting in the input when the timer fires (the
    // process was stopped, say) is read before the verdict.
    waitTimer_ = platform::startOneShotTimer(wait_, [self] {
        if (auto s = self.lock())
            s->afterWaitingInput([self] {
                if (auto s = self.lock(); s && !s->started_) s->noVersionReport();
            });
    });
    port->open();  // a failure arrives as an error
    // Not only in the system log: whoever runs the upgrade sees it here.
    if (const std::string kept = port->keptLockFile(); !kept.empty())
        reporter_.warning(path_, gimbal::keptLockFileText(kept, path_));
}

void Session::close() {
    const LogPortScope logScope(path_);
    if (port_ && port_->isOpen())
        port_->close();
    else
        closed_ = true;
}

void Session::portRemoved() {
    port_.reset();
    // As the interrupt line says: a gimbal left mid-upgrade waits for a whole one.
    const std::string after = engine_.upgradeStarted()
                                  ? "; the gimbal stays in upgrade mode until a whole upgrade completes: plug it in "
                                    "and run quenlo-flash again"
                                  : "";
    finish(ExitCode::DeviceRemoved, "device " + path_ + " was removed" + after);
}

// A frame for another address is not the gimbal answering us. Handed on, it
// would stop the page timer without moving the upgrade on, and a run that no
// one watches would then wait for ever.
void Session::portReceived(const std::shared_ptr<serial::KivSerialPort>& port, const engine::Bytes& data) {
    auto pieces = frames_.push(data);
    traceDropped();
    deliver(port, std::move(pieces));
}

void Session::deliver(const std::shared_ptr<serial::KivSerialPort>& port,
                      std::vector<gimbal::FrameAssembler::Piece> pieces) {
    for (const auto& piece : pieces) {
        if (finished()) return;
        if (!piece.crcHolds) continue;
        const engine::Bytes& frame = piece.frame;
        if (frame.size() > 2 && frame[2] != gimbal::kHostAddress) continue;
        if (confirming_) {
            reporter_.diagnostic(path_, "received " + engine::hexBytes(frame));
            if (const auto version = announcedVersion(frame)) confirmationHeard(*version);
            continue;
        }
        engine_.serialPortDidReceiveData(port, frame);
    }
}

// What could not become a reply (noise, a damaged frame, a stray header), so
// that a -v run shows why an answer the gimbal sent was not taken.
void Session::traceDropped() {
    const gimbal::FrameAssembler::Dropped dropped = frames_.takeDropped();
    if (dropped.count == 0) return;
    std::string line = "dropped " + std::to_string(dropped.count) + " received byte" +
                       (dropped.count == 1 ? "" : "s") + " that are no reply: " + engine::hexBytes(dropped.bytes);
    if (dropped.count > dropped.bytes.size()) line += " ...";
    reporter_.diagnostic(path_, line);
}

// A device without modem lines (a pty, some adapters) needs none for an
// upgrade: not worth a line. Other modem-line failures and a failing close
// are warnings; anything else means the link cannot be used.
void Session::portError(const serial::KivPosixError& error) {
    const bool modemLines = startsWith(error.operation, "ioctl(TIOCM");
    if (modemLines && (error.code == ENOTTY || error.code == EINVAL)) return;
    if (modemLines || error.operation == "close") {
        reporter_.warning(path_, error.message());
        return;
    }
    if (isKeptFromPort(error)) {
        const gimbal::PortDiagnosis why = gimbal::diagnoseOpenFailure(error.filePath, error.code, systemPaths_);
        if (why.cause != gimbal::PortCause::Other) {
            portRefused(why);
            return;
        }
    }
    finish(ExitCode::PortError, error.message());
}

void Session::portRefused(const gimbal::PortDiagnosis& why) {
    diagnosis_ = why;
    finish(ExitCode::PortError, why.text, !(leavesBusyPortsAlone_ && why.cause == gimbal::PortCause::Busy));
}

void Session::portClosed() {
    closed_ = true;
    finish(ExitCode::PortError, "port " + path_ + " was closed");
}

}  // namespace flash
