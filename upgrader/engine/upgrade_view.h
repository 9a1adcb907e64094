// What the upgrade sequencer drives and tells: the window's status line,
// progress bar and Start button, a modal alert and the diagnostic outputs,
// then the events of an upgrade with their data, and the writer the frames go
// through. The window implements the view on its controls; a headless
// program acts on the events instead of reading the texts shown.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace engine {

using Bytes = std::vector<std::uint8_t>;

class UpgradeView {
public:
    virtual ~UpgradeView() = default;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setProgress(double fraction) = 0;  // 0.0 to 1.0
    virtual void setStartEnabled(bool enabled) = 0;
    // Modal: returns when the user has dismissed it. Events (and so further
    // responses from the gimbal) may be handled while it is open.
    virtual void showAlert(const std::string& message) = 0;
    virtual void log(const std::string& line) = 0;    // diagnostic log
    virtual void print(const std::string& line) = 0;  // standard output
    // Per-chunk and per-write detail: on standard output unless the view
    // keeps it for those who ask for it. A received chunk is printed as its
    // decimal byte list and as UTF-16 text.
    virtual void trace(const std::string& line) { print(line); }
    virtual void traceReceived(const Bytes& chunk);

    // Events, after the controls above have been set for them. A view that
    // needs none leaves them alone.
    virtual void gimbalConnected(const std::string& /*versionText*/) {}
    virtual void pageSent(std::int64_t /*mcu*/, std::int64_t /*page*/, std::int64_t /*offset*/) {}
    virtual void mcuSwitched(std::int64_t /*mcu*/) {}
    virtual void upgradeCompleted() {}
    // The page's 30 s ran out; it stays outstanding, a late answer continues.
    virtual void pageTimedOut(std::int64_t /*mcu*/, std::int64_t /*page*/) {}
    // A page or block unanswered went out again (`send` counts from 1).
    virtual void pageResent(std::int64_t /*mcu*/, std::int64_t /*page*/, int /*send*/) {}
    // The same for the switch request after MCU `mcu`'s last page.
    virtual void switchTimedOut(std::int64_t /*mcu*/) {}
    // A version report while an upgrade was under way (after the gimbal's
    // first acknowledgement of it): the gimbal restarted and has forgotten it. `page` is the page outstanding, or
    // `pages` (that MCU's count) while the switch request was. The page timer keeps running, so an upgrade that does
    // not go on still times out.
    virtual void gimbalRestarted(std::int64_t /*mcu*/, std::int64_t /*page*/, std::int64_t /*pages*/) {}
    // A version report after Start and before the gimbal's first
    // acknowledgement, too long after the enter request to have crossed it:
    // the gimbal restarted, or did not hear the request. The page timer keeps
    // running.
    virtual void gimbalAnnouncedAgain() {}
    // Start refused, or the upgrade stopped before a page outside the image.
    virtual void upgradeStopped(const std::string& /*reason*/) {}
};

// Where the engine's frames go: the port the front-end holds.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // None when nothing could take the frame (no port, or not open); nothing
    // was written then. Otherwise whether every byte was written.
    virtual std::optional<bool> writeFrame(const Bytes& frame) = 0;
    // Calls `then` once what the port has already received has been handed
    // to the engine, so that a timer that fired late (the process was
    // stopped, say) does not report an answer that is waiting as missing.
    // Without a port there is nothing to wait for: at once.
    virtual void afterWaitingInput(std::function<void()> then) { then(); }
};

}  // namespace engine
