// The session's last step with an expected version: there is no way to read
// the flash back, but the restarted gimbal announces the firmware it runs.
// That announcement is awaited for a bounded time, answered by nothing (an
// answer would start another upgrade), shown and compared.
#include <charconv>
#include <cmath>

#include "upgrader/flash/session.h"

namespace flash {

namespace {

std::optional<double> plainNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace

bool sameVersion(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const auto x = plainNumber(a), y = plainNumber(b);
    return x && y && std::fabs(*x - *y) < 0.0005;
}

void Session::beginConfirmation() {
    confirming_ = true;
    engine_.cancelUpgrade();  // its announcements are no longer the engine's to answer
    if (liveTimer_) liveTimer_->invalidate();
    reporter_.status(path_, "waiting up to " + waitText(confirmWait_) +
                                " s for the restarted gimbal to announce its firmware version (expecting " +
                                *expectVersion_ + "; nothing is answered)");
    std::weak_ptr<Session> self = weak_from_this();
    confirmTimer_ = platform::startOneShotTimer(confirmWait_, [self] {
        if (auto s = self.lock())
            s->afterWaitingInput([self] {
                auto s = self.lock();
                if (!s || s->finished()) return;
                s->finish(ExitCode::Unconfirmed,
                          "no announcement from the restarted gimbal within " + waitText(s->confirmWait_) +
                              " s after the upgrade, so version " + *s->expectVersion_ +
                              " is not confirmed: restart the gimbal (power it off and on) and check its version");
            });
    });
}

void Session::confirmationHeard(const std::string& version) {
    if (finished()) return;
    versionAfter_ = version;
    reporter_.status(path_, "the restarted gimbal announced firmware version " + version);
    if (sameVersion(version, *expectVersion_)) {
        finish(ExitCode::Ok, engine_.dialect().completeText + "; version " + version + " confirmed");
        return;
    }
    finish(ExitCode::VersionDiffers, "the restarted gimbal announced firmware version " + version + ", not " +
                                         *expectVersion_ +
                                         ": the image may be for another version, or the gimbal kept its old "
                                         "firmware; check the image and run the upgrade again");
}

std::optional<std::string> Session::announcedVersion(const engine::Bytes& frame) const {
    if (engine_.dialect().blockSizeAnnounced) {
        const engine::Response r = engine::recogniseThreeAxisResponse(frame);
        if (r.kind != engine::ResponseKind::VersionReport) return std::nullopt;
        return engine::threeAxisVersionText(static_cast<std::uint16_t>(r.version));
    }
    const engine::Response r = engine::recogniseResponse(frame);
    if (r.kind != engine::ResponseKind::VersionReport) return std::nullopt;
    return engine::versionText(r.version, r.length);
}

}  // namespace flash
