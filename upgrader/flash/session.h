// One port's upgrade: opens the port, waits for the version report, starts
// the engine as soon as the gimbal has announced itself (the engine has then
// sent the enter-upgrade-mode request) and ends with one outcome. It is the
// engine's view and frame writer: status, progress and alerts go to the
// reporter, and the engine's events decide the outcome, since no one is there
// to dismiss an alert and wait on.
//
// Thread contract: main thread only. The port's callbacks arrive there
// through a small delegate that holds the session weakly.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/frame_assembler.h"
#include "link/port_diagnosis.h"
#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/flash/exit_codes.h"
#include "upgrader/flash/options.h"
#include "upgrader/flash/reporter.h"
#include "upgrader/platform/one_shot_timer.h"

namespace serial {
class KivSerialPort;
class KivSerialPortDelegate;
struct KivPosixError;
}  // namespace serial

namespace flash {

class Session : public engine::UpgradeView, public engine::FrameWriter, public std::enable_shared_from_this<Session> {
public:
    // Takes the rate, the waits and the system paths from `options`.
    Session(std::string path, const Options& options, Reporter& reporter);
    ~Session() override;

    // Takes the checked `image` (shared with the other sessions, never
    // copied) and opens the port; the outcome follows.
    void start(const std::shared_ptr<const engine::LoadedImage>& image);
    // Called once, when the outcome is known.
    void setOnFinished(std::function<void()> onFinished) { onFinished_ = std::move(onFinished); }
    // Stops the session on a termination signal: the upgrade under way ends,
    // a line says where it stood, and the port is closed. False when the
    // session had already ended.
    bool interrupt(int signal);
    // Closes the port of a finished session; closed() tells when it is done.
    void close();

    const std::string& path() const { return path_; }
    bool finished() const { return outcome_.has_value(); }
    bool closed() const { return closed_; }
    ExitCode code() const { return outcome_.value_or(ExitCode::Internal); }
    const std::string& reason() const { return reason_; }
    // Why the port could not be used, when that is what ended the session.
    const gimbal::PortDiagnosis* diagnosis() const { return diagnosis_ ? &*diagnosis_ : nullptr; }
    // The firmware version the gimbal reported ("1.23"); empty before it has.
    const std::string& version() const { return version_; }
    // With an expected version: the one the restarted gimbal announced after
    // the upgrade; empty when none came (or none was awaited).
    const std::string& versionAfter() const { return versionAfter_; }
    // Bytes per page or block; 0 before the gimbal announced itself.
    std::int64_t blockSize() const { return started_ ? engine_.blockSize() : 0; }
    // Where the upgrade stands: pages acknowledged over all MCUs, and within
    // the MCU under way. None before the first page was sent.
    struct Stand {
        std::int64_t pagesDone = 0;
        std::int64_t mcu = 0;
        std::int64_t page = 0;   // acknowledged pages of that MCU
        std::int64_t pages = 0;  // that MCU's page count
        int percent = 0;
        bool threeAxis = false;  // images and blocks rather than MCUs and pages
        bool operator==(const Stand&) const = default;
    };
    std::optional<Stand> stand() const;
    // Off: a failure is not told as it happens; whoever watches the session
    // tells its outcome instead.
    void setReportsFailures(bool reports) { reportsFailures_ = reports; }
    // On: a port another program holds is not told as a failure either (a
    // bench leaves it to that program).
    void setLeavesBusyPortsAlone(bool leaves) { leavesBusyPortsAlone_ = leaves; }

    // Port callbacks (through the delegate).
    void portRemoved();
    void portReceived(const std::shared_ptr<serial::KivSerialPort>& port, const engine::Bytes& data);
    void portError(const serial::KivPosixError& error);
    void portClosed();

    // UpgradeView: what is shown goes to the reporter; the events decide.
    void setStatusText(const std::string& text) override;
    void setProgress(double fraction) override;
    void setStartEnabled(bool) override {}
    void showAlert(const std::string& message) override;
    void log(const std::string& line) override;
    void print(const std::string& line) override;
    void traceReceived(const engine::Bytes& chunk) override;
    void gimbalConnected(const std::string& versionText) override;
    void upgradeCompleted() override;
    void pageTimedOut(std::int64_t mcu, std::int64_t page) override;
    void switchTimedOut(std::int64_t mcu) override;
    void gimbalRestarted(std::int64_t mcu, std::int64_t page, std::int64_t pages) override;
    void gimbalAnnouncedAgain() override;
    void upgradeStopped(const std::string& reason) override;

    // FrameWriter
    std::optional<bool> writeFrame(const engine::Bytes& frame) override;
    void afterWaitingInput(std::function<void()> then) override;

private:
    void finish(ExitCode code, const std::string& reason, bool reportFailure = true);
    void noVersionReport();
    void beginConfirmation();
    void confirmationHeard(const std::string& version);
    std::optional<std::string> announcedVersion(const engine::Bytes& frame) const;
    void portRefused(const gimbal::PortDiagnosis& why);
    void deliver(const std::shared_ptr<serial::KivSerialPort>& port, std::vector<gimbal::FrameAssembler::Piece> pieces);
    void traceDropped();
    void writeFiller(std::size_t left);
    void tickLive();
    void showLive();
    std::string timeoutText() const;

    const std::string path_;
    const std::uint32_t baud_;
    const std::chrono::milliseconds wait_;
    const std::optional<std::string> expectVersion_;
    const std::chrono::milliseconds confirmWait_;
    const gimbal::SystemPaths systemPaths_;
    Reporter& reporter_;
    std::shared_ptr<serial::KivSerialPort> port_;
    engine::UpgradeEngine engine_;
    std::shared_ptr<serial::KivSerialPortDelegate> delegate_;
    std::unique_ptr<platform::OneShotTimer> waitTimer_;
    gimbal::ReplyFrameAssembler frames_;
    std::unique_ptr<platform::OneShotTimer> liveTimer_;   // redraws the live line every second
    std::unique_ptr<platform::OneShotTimer> confirmTimer_;
    // After the last acknowledgement, waiting for the restarted gimbal's
    // announcement: frames go to no engine and nothing is answered.
    bool confirming_ = false;
    std::string versionAfter_;
    const std::chrono::milliseconds pageTimeout_;
    std::chrono::steady_clock::time_point startedAt_;  // the first page
    std::chrono::steady_clock::time_point requestAt_;  // the last frame written
    bool started_ = false;
    bool resynced_ = false;   // the gimbal was sent bytes to complete a frame, and answered again
    bool resyncing_ = false;  // those bytes are going out
    bool reportsFailures_ = true;
    bool leavesBusyPortsAlone_ = false;
    std::string version_;
    double fraction_ = 0;
    bool closed_ = false;
    std::optional<ExitCode> outcome_;
    std::function<void()> onFinished_;
    std::string reason_;
    std::optional<gimbal::PortDiagnosis> diagnosis_;
};

// The same version as shown: equal texts, or equal numbers ("1.5", "1.50").
bool sameVersion(const std::string& a, const std::string& b);

// "30", "3", "0.25": a wait in seconds as the texts give it.
std::string waitText(std::chrono::milliseconds wait);

// Before quenlo-flash exits: begins the exit (exit_budget.h) and waits, at
// most for its budget, until `sessionsClosed` and every port's close has
// finished; says so on `err` when one has not.
void waitForClosesBeforeExit(const std::function<bool()>& sessionsClosed, std::ostream& err);

}  // namespace flash
