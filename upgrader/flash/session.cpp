#include "upgrader/flash/session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "upgrader/engine/diagnostics.h"
#include "upgrader/engine/port_frame_writer.h"
#include "upgrader/flash/live_line.h"
#include "upgrader/flash/signal_watch.h"
#include "upgrader/platform/exit_budget.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_exit_wait.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace flash {

Session::Session(std::string path, const Options& options, Reporter& reporter)
    : path_(std::move(path)),
      baud_(options.baud),
      wait_(options.wait),
      expectVersion_(options.expectVersion),
      confirmWait_(options.confirmWait),
      systemPaths_(options.systemPaths),
      reporter_(reporter),
      engine_(*this, *this, platform::startOneShotTimer, dialectOf(options)),
      pageTimeout_(options.pageTimeout.value_or(engine_.dialect().answerWait)) {
    engine_.setPageTimeout(pageTimeout_);
}

Session::~Session() {
    if (waitTimer_) waitTimer_->invalidate();
    if (liveTimer_) liveTimer_->invalidate();
    if (confirmTimer_) confirmTimer_->invalidate();
    if (port_) port_->setDelegate(nullptr);
}

void Session::finish(ExitCode code, const std::string& reason, bool reportFailure) {
    if (outcome_) return;
    outcome_ = code;
    reason_ = reason;
    if (waitTimer_) waitTimer_->invalidate();
    if (liveTimer_) liveTimer_->invalidate();
    if (confirmTimer_) confirmTimer_->invalidate();
    engine_.cancelUpgrade();
    if (code != ExitCode::Ok && reportFailure && reportsFailures_) reporter_.failure(path_, code, reason, diagnosis());
    close();
    if (onFinished_) onFinished_();
}

void Session::noVersionReport() {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait_.count()) / 1000.0);
    finish(ExitCode::NoVersionReport, "no version report from " + path_ + " within " + seconds +
                                          " s: check that the gimbal is powered and in its boot firmware, that it "
                                          "is on this port, and the baud rate");
}

bool Session::interrupt(int signal) {
    if (finished()) return false;
    const ExitCode code = exitCodeForSignal(signal);
    const std::string by = "interrupted by " + signalName(signal);
    constexpr char kRunAgain[] =
        "; the gimbal stays in upgrade mode until a whole upgrade completes: run quenlo-flash again";
    std::optional<Reporter::Place> where;
    std::string text;
    const engine::Dialect& dialect = engine_.dialect();
    if (confirming_) {
        text = by +
               " while waiting for the restarted gimbal's announcement; the upgrade itself completed, its "
               "version is not confirmed";
    } else if (engine_.upgradeStarted()) {
        const engine::UpgradeState& state = engine_.state();
        where = Reporter::Place{state.curMCU, state.curPage};
        const bool switching = state.curPage >= state.pageCount[static_cast<std::size_t>(state.curMCU)];
        text = by +
               (switching ? " while switching from " + dialect.segmentName(state.curMCU) + " to the next"
                          : " at " + dialect.place(state.curMCU, state.curPage)) +
               kRunAgain;
    } else if (started_) {
        text = by + " before the first " + dialect.unit() + kRunAgain;
    } else {
        text = by + " while waiting for the version report";
    }
    reporter_.interrupted(path_, signalName(signal), code, where, text);
    finish(code, text, false);
    return true;
}

void Session::setStatusText(const std::string& text) {
    if (!finished()) reporter_.status(path_, text);
}

void Session::setProgress(double fraction) {
    fraction_ = fraction;
    if (!finished()) reporter_.progress(path_, static_cast<int>(std::lround(fraction * 100)));
    requestAt_ = std::chrono::steady_clock::now();  // a page goes out right after
    showLive();
}

// Once a second, so that a long wait for the gimbal is seen counting.
void Session::tickLive() {
    if (finished()) return;
    showLive();
    std::weak_ptr<Session> self = weak_from_this();
    liveTimer_ = platform::startOneShotTimer(std::chrono::seconds(1), [self] {
        if (auto s = self.lock()) s->tickLive();
    });
}

void Session::showLive() {
    const auto where = stand();
    if (finished() || !where || !engine_.upgradeUnderWay()) return;
    LiveStand live{where->mcu, where->page, where->pages, where->pagesDone, 0};
    live.threeAxis = where->threeAxis;
    for (const std::int64_t count : engine_.state().pageCount) live.pagesTotal += count;
    const auto now = std::chrono::steady_clock::now();
    const auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d); };
    reporter_.live(path_, liveLineText(live, ms(now - startedAt_), ms(now - requestAt_), pageTimeout_));
}

void Session::showAlert(const std::string& message) {
    reporter_.alert(path_, message);
}

// The gimbal announced itself and was asked into upgrade mode: start once.
// Posted, so that the engine finishes handling the report first.
void Session::gimbalConnected(const std::string& versionText) {
    if (started_ || finished()) return;
    version_ = versionText;
    started_ = true;
    if (waitTimer_) waitTimer_->invalidate();
    std::weak_ptr<Session> self = weak_from_this();
    platform::mainQueueAsync([self] {
        if (auto s = self.lock(); s && !s->finished()) {
            s->startedAt_ = std::chrono::steady_clock::now();
            s->engine_.startUpgrade();
            s->tickLive();
        }
    });
}

std::optional<Session::Stand> Session::stand() const {
    const engine::UpgradeState& state = engine_.state();
    if (!started_) return std::nullopt;
    Stand stand;
    stand.mcu = state.curMCU;
    for (std::int64_t m = 0; m < state.curMCU && m <= engine::kLastMCU; ++m)
        stand.pagesDone += state.pageCount[static_cast<std::size_t>(m)];
    if (state.curMCU >= 0 && state.curMCU <= engine::kLastMCU) {
        stand.pages = state.pageCount[static_cast<std::size_t>(state.curMCU)];
        stand.page = std::min(state.curPage, stand.pages);
    }
    stand.pagesDone += stand.page;
    stand.percent = static_cast<int>(std::lround(fraction_ * 100));
    stand.threeAxis = engine_.dialect().kind == engine::Dialect::Kind::ThreeAxis;
    return stand;
}

void Session::upgradeCompleted() {
    if (!expectVersion_) {
        finish(ExitCode::Ok, engine_.dialect().completeText);
        return;
    }
    if (!confirming_ && !finished()) beginConfirmation();
}

std::string Session::timeoutText() const {
    return waitText(engine::kPageTimeout);
}

std::string waitText(std::chrono::milliseconds wait) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000.0);
    return seconds;
}

// The three-axis failures name the block or image they stood at: its own
// sends already took their turns, so nothing is left to wait for.
void Session::pageTimedOut(std::int64_t mcu, std::int64_t page) {
    const engine::Dialect& d = engine_.dialect();
    if (d.kind == engine::Dialect::Kind::Pages) {
        finish(ExitCode::SendFailed, "send Failed: no answer to a page within " + timeoutText() + " s");
        return;
    }
    finish(ExitCode::SendFailed, d.blockFailText + ": " + d.place(mcu, page) + " was not acknowledged after " +
                                     std::to_string(d.sendsPerBlock) + " sends, " + waitText(pageTimeout_) +
                                     " s apart");
}

void Session::switchTimedOut(std::int64_t mcu) {
    const engine::Dialect& d = engine_.dialect();
    if (d.kind == engine::Dialect::Kind::Pages) {
        finish(ExitCode::SendFailed, "send Failed: no answer to the switch request after MCU " + std::to_string(mcu) +
                                         " within " + timeoutText() + " s");
        return;
    }
    finish(ExitCode::SendFailed, d.switchFailText + ": no answer to the slave switch after " + d.segmentName(mcu) +
                                     " within " + waitText(pageTimeout_) + " s");
}

// The gimbal announced itself again: it restarted, and what it was sent is
// lost. Nothing would ever answer the outstanding page; going on from page 0
// would write a gimbal that cannot be trusted to be where the tool thinks.
void Session::gimbalRestarted(std::int64_t mcu, std::int64_t page, std::int64_t pages) {
    const engine::Dialect& d = engine_.dialect();
    const std::string where = page >= pages ? d.segmentName(mcu) + ", switching to " + d.segmentName(mcu + 1)
                                            : d.segmentName(mcu) + ", " + d.unit() + " " + std::to_string(page);
    finish(ExitCode::SendFailed, "the gimbal restarted at " + where +
                                     " (it reported its version again in the middle of the upgrade); the upgrade "
                                     "must be run again: run quenlo-flash again");
}

// The engine refused the image at Start or stopped on a page outside it.
void Session::upgradeStopped(const std::string& reason) {
    finish(ExitCode::RefusedFile, reason);
}

std::optional<bool> Session::writeFrame(const engine::Bytes& frame) {
    requestAt_ = std::chrono::steady_clock::now();
    if (port_ && port_->isOpen()) reporter_.diagnostic(path_, "sent " + engine::hexBytes(frame));
    return engine::writeToOpenPort(port_, frame);
}

void Session::afterWaitingInput(std::function<void()> then) {
    engine::afterWaitingInput(port_, std::move(then));
}

// The engine's per-page and per-chunk lines would drown the report: only a
// --verbose run shows them.
void Session::log(const std::string& line) {
    reporter_.diagnostic(path_, line);
}
void Session::print(const std::string& line) {
    reporter_.diagnostic(path_, line);
}
// Frames both ways in hex, which is how they are read against the protocol.
void Session::traceReceived(const engine::Bytes& chunk) {
    reporter_.diagnostic(path_, "received " + engine::hexBytes(chunk));
}

void waitForClosesBeforeExit(const std::function<bool()>& sessionsClosed, std::ostream& err) {
    platform::beginExit();
    if (!serial::waitForPortClosesBeforeExit(platform::exitTimeLeft(platform::kExitBudget), sessionsClosed))
        err << "quenlo-flash: a port's close did not finish within " << platform::kExitBudget.count()
            << " s; exiting without it" << std::endl;
}

}  // namespace flash
