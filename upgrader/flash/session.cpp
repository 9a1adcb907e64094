#include "upgrader/flash/session.h"

#include <cmath>
#include <cstdio>

#include "upgrader/flash/one_shot_timer.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace flash {

Session::Session(std::string path, std::uint32_t baud, std::chrono::milliseconds wait, Reporter& reporter)
    : path_(std::move(path)), baud_(baud), wait_(wait), reporter_(reporter), engine_(*this) {}

Session::~Session() {
    if (waitTimer_) waitTimer_->invalidate();
    if (engine_.serialPort) engine_.serialPort->setDelegate(nullptr);
}

void Session::finish(ExitCode code, const std::string& reason) {
    if (outcome_) return;
    outcome_ = code;
    reason_ = reason;
    if (waitTimer_) waitTimer_->invalidate();
    if (engine_.sendPageTimer) {
        engine_.sendPageTimer->invalidate();
        engine_.sendPageTimer.reset();
    }
    if (code != ExitCode::Ok) reporter_.failure(path_, code, reason);
    close();
    if (onFinished_) onFinished_();
}

void Session::noVersionReport() {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait_.count()) / 1000.0);
    finish(ExitCode::NoVersionReport, "no version report from " + path_ + " within " + seconds + " s");
}

void Session::setStatusText(const std::string& text) {
    if (finished()) return;
    reporter_.status(path_, text);
    if (text == upgrader::kUpgradeCompleteText) finish(ExitCode::Ok, text);
}

void Session::setProgress(double fraction) {
    if (!finished()) reporter_.progress(path_, static_cast<int>(std::lround(fraction * 100)));
}

// The version report enables Start after the engine asked the gimbal into
// upgrade mode: start once, as the user would press Start. Posted, so that
// the engine finishes handling the report first.
void Session::setStartEnabled(bool enabled) {
    if (!enabled || started_ || finished()) return;
    started_ = true;
    if (waitTimer_) waitTimer_->invalidate();
    std::weak_ptr<Session> self = weak_from_this();
    platform::mainQueueAsync([self] {
        if (auto s = self.lock(); s && !s->finished()) s->engine_.bt_startUpgradePressed();
    });
}

void Session::showAlert(const std::string& message) {
    reporter_.alert(path_, message);
    if (message == upgrader::kUpgradeCompleteAlert) return;
    if (message == upgrader::kSendFailedAlert)
        finish(ExitCode::SendFailed, "send Failed: no answer to a page within 30 s");
    else  // the engine refused the image at Start or stopped on a page outside it
        finish(ExitCode::RefusedFile, message);
}

std::unique_ptr<upgrader::PageTimer> Session::scheduleTimer(std::chrono::milliseconds interval,
                                                            std::function<void()> fire) {
    return startOneShotTimer(interval, std::move(fire));
}

// The engine's per-chunk diagnostics would drown the report; they are the
// window's console output and are not repeated here.
void Session::log(const std::string&) {}
void Session::print(const std::string&) {}

}  // namespace flash
