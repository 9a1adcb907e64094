// What the upgrade sequencer drives and tells: the window's status line,
// progress bar and Start button, a modal alert and the diagnostic outputs,
// then the events of an upgrade with their data, and the writer the frames go
// through. The window implements the view on its controls; a headless
// program acts on the events instead of reading the texts shown.
#pragma once

#include <cstdint>
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

    // Events, after the controls above have been set for them. A view that
    // needs none leaves them alone.
    virtual void gimbalConnected(const std::string& /*versionText*/) {}
    virtual void pageSent(std::int64_t /*mcu*/, std::int64_t /*page*/, std::int64_t /*offset*/) {}
    virtual void mcuSwitched(std::int64_t /*mcu*/) {}
    virtual void upgradeCompleted() {}
    // The page's 30 s ran out; it stays outstanding, a late answer continues.
    virtual void pageTimedOut(std::int64_t /*mcu*/, std::int64_t /*page*/) {}
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
};

}  // namespace engine
