// Private to upgrader/serial: what one open of a port's device owns. The read
// source's handlers keep it alive, so the device is closed even when the port
// itself has gone.
#pragma once

#include <termios.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "upgrader/platform/read_source.h"
#include "upgrader/platform/timer_source.h"
#include "upgrader/serial/kiv_exclusive_open.h"
#include "upgrader/serial/kiv_serial_port.h"

struct KivSerialPort::Connection {
    kiv::ExclusiveDevice device;
    termios originalAttributes{};
    // Set on the main thread before polling starts; used on the poll thread.
    std::shared_ptr<platform::TimerSource> pinPollTimer;
    std::weak_ptr<platform::ReadSource> readSource;

    std::atomic<bool> hangUpHandled{false};       // a removal is announced once per open
    std::atomic<bool> modemLinesReported{false};  // a missing-lines error is reported once per open
    std::atomic<bool> reopenAfterClose{false};    // a flow-control change reopens the port
    std::atomic<unsigned> readHandlerRuns{0};

    // Holds the port from close() until the close has been done and reported:
    // a port that leaves the manager's list meanwhile (a removal drops the
    // last reference) must still tell its delegate that it closed.
    void holdPortUntilClosed(std::shared_ptr<KivSerialPort> port);
    std::shared_ptr<KivSerialPort> takeHeldPort();

private:
    std::mutex heldPortMutex_;
    std::shared_ptr<KivSerialPort> heldPort_;
};

// Puts the device back as it was found and closes it; poll thread only.
// Answers close()'s result.
int restoreAndCloseDevice(KivSerialPort::Connection& connection);
