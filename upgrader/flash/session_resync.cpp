// A gimbal that keeps announcing itself although every announcement was
// answered: the session's way to get it listening again.
#include <algorithm>
#include <span>

#include "link/frame.h"
#include "upgrader/flash/session.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace flash {

namespace {

// Enough to complete any frame a receiver can be waiting for: the longest
// the envelope allows. Zeros, which hold no sync, so nothing new begins.
constexpr std::size_t kFillerBytes = gimbal::kMaxPayload + gimbal::kFrameOverhead;
// Written a piece at a time, serving the main loop in between.
constexpr std::size_t kFillerPiece = 1024;

}  // namespace

// The gimbal announced itself again before acknowledging anything. It
// restarted, or it never heard the enter request: its receiver may be waiting
// for the rest of a frame that will not come (the echo of its own
// announcements at an adapter's first open reads as a header of thousands of
// bytes, and swallows every request). Nothing has been acknowledged, so
// nothing is lost by starting over: once, bytes that complete any frame in
// progress, the enter request again and the upgrade from page 0. If it goes
// on announcing after that, the session ends saying so.
void Session::gimbalAnnouncedAgain() {
    if (finished() || resyncing_) return;
    if (resynced_) {
        finish(ExitCode::SendFailed,
               "the gimbal announced itself again before acknowledging the first " + std::string(engine_.dialect().unit()) +
                   ", also after it was sent bytes to complete any frame in progress and answered again: it may keep "
                   "restarting (check its power and cable); run quenlo-flash again");
        return;
    }
    resynced_ = resyncing_ = true;
    engine_.cancelUpgrade();
    reporter_.warning(path_, "the gimbal announced itself again before acknowledging the first " +
                                 std::string(engine_.dialect().unit()) +
                                 ", although it was answered (it may have restarted, or be waiting for the rest of a "
                                 "broken frame): sending " +
                                 std::to_string(kFillerBytes) +
                                 " bytes to complete any frame in progress, then answering again and starting over");
    writeFiller(kFillerBytes);
}

void Session::writeFiller(std::size_t left) {
    if (finished()) return;
    if (left == 0) {
        resyncing_ = false;
        // The bytes may still be queued ahead of the enter request (in the
        // adapter, in a bridge): until they are on the wire, announcements
        // keep crossing it.
        const std::uint64_t rate = baud_ == 0 ? 115200 : baud_;
        engine_.setAnnouncementInFlight(engine::kAnnouncementInFlight +
                                        std::chrono::milliseconds(kFillerBytes * 10 * 1000 / rate + 1));
        engine_.sendRequestEnterUpgradeModeCMD();
        startedAt_ = std::chrono::steady_clock::now();
        engine_.startUpgrade();
        return;
    }
    static const engine::Bytes zeros(kFillerPiece, 0);
    const std::size_t piece = std::min(left, kFillerPiece);
    // A port that closed or failed ends the session through its callbacks.
    if (!port_ || !port_->isOpen() || !port_->sendData(std::span(zeros).first(piece))) return;
    std::weak_ptr<Session> self = weak_from_this();
    platform::mainQueueAsync([self, rest = left - piece] {
        if (auto s = self.lock()) s->writeFiller(rest);
    });
}

}  // namespace flash
