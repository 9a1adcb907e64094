// Private to upgrader/serial: what one open of a port's device owns. The read
// source's handlers keep it alive, so the device is closed even when the port
// itself has gone.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "link/low_latency.h"
#include "upgrader/platform/read_source.h"
#include "upgrader/platform/timer_source.h"
#include "upgrader/serial/kiv_exclusive_open.h"
#include "upgrader/serial/kiv_modem_line_reads.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace serial {

struct KivSerialPort::Connection {
    ExclusiveDevice device;
    termios originalAttributes{};
    gimbal::LowLatency lowLatencyAtOpen = gimbal::LowLatency::Refused;  // put back at close
    // Set on the main thread before polling starts; used on the poll thread.
    std::shared_ptr<platform::TimerSource> pinPollTimer;
    std::weak_ptr<platform::ReadSource> readSource;
    std::shared_ptr<platform::TimerSource> drainTimer;  // poll thread only, while a close waits for output
    std::atomic<std::uint32_t> lineRate{0};             // the rate last applied, for the drain's wait

    std::atomic<bool> hangUpHandled{false};  // a removal is announced once per open
    // An unplug is seen twice, as a hang-up and by the device monitor; the
    // delegate hears whichever comes first. The first flag is set by both, the
    // second by the hang-up for the monitor's report that is still to come.
    std::atomic<bool> removalReported{false};
    std::atomic<bool> removalReportedByHangUp{false};
    // The device is gone (its line hung up): the close asks nothing more of
    // the driver. A removal report alone does not say so, since the exit
    // handler reports one for every port.
    bool deviceRemoved() const;
    std::atomic<bool> modemLinesReported{false};  // a missing-lines error is reported once per open
    bool pseudoTerminal = false;                  // set at open: it has no modem lines by nature, nothing to report
    std::atomic<bool> reopenAfterClose{false};    // a flow-control change reopens the port
    std::atomic<bool> closeCounted{false};        // this open's close is in closesUnderWay()
    std::atomic<unsigned> readHandlerRuns{0};
    int lastPinPollError = 0;  // poll thread only; 0 after a good read of the lines
    ModemLineReads lineReads;  // set at open, then poll thread only

    // Holds the port from close() until the close has been done and reported:
    // a port that leaves the manager's list meanwhile (a removal drops the
    // last reference) must still tell its delegate that it closed.
    void holdPortUntilClosed(std::shared_ptr<KivSerialPort> port);
    std::shared_ptr<KivSerialPort> takeHeldPort();

private:
    std::mutex heldPortMutex_;
    std::shared_ptr<KivSerialPort> heldPort_;
};

// The first step of the real close, on the poll thread: the modem-line poll
// stops, flow control goes off and the queued output gets its wire time
// (kiv_output_drain.h) without blocking the thread; `then` runs there once
// the queue is empty or the time is up.
void drainOutputThen(const std::shared_ptr<KivSerialPort::Connection>& connection, std::function<void()> then);

// The end of a close begun by close(): it no longer counts as under way.
void closeFinished(KivSerialPort::Connection& connection);

// Puts the device back as it was found and closes it; poll thread only.
// Answers close()'s result.
int restoreAndCloseDevice(KivSerialPort::Connection& connection);

}  // namespace serial
