// What the upgrade sequencer drives: the window's status line, progress bar
// and Start button, a modal alert, a one-shot page timer and the diagnostic
// outputs. The window implements it on its controls; a headless program or a
// test implements it on anything else.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace upgrader {

// A scheduled one-shot timer. Destroying it does not cancel it; invalidate() does.
class PageTimer {
public:
    virtual ~PageTimer() = default;
    virtual void invalidate() = 0;
};

class UpgradeView {
public:
    virtual ~UpgradeView() = default;
    virtual void setStatusText(const std::string& text) = 0;
    virtual void setProgress(double fraction) = 0;  // 0.0 to 1.0
    virtual void setStartEnabled(bool enabled) = 0;
    // Modal: returns when the user has dismissed it. Events (and so further
    // responses from the gimbal) may be handled while it is open.
    virtual void showAlert(const std::string& message) = 0;
    // Calls `fire` once on the main thread after `interval`, unless invalidated.
    virtual std::unique_ptr<PageTimer> scheduleTimer(std::chrono::milliseconds interval,
                                                     std::function<void()> fire) = 0;
    virtual void log(const std::string& line) = 0;    // diagnostic log
    virtual void print(const std::string& line) = 0;  // standard output
};

}  // namespace upgrader
