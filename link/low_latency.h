// Low-latency mode of a serial adapter, asked for by both tools at open.
// USB-UART drivers hold received bytes back until their latency timer runs
// out (16 ms by default on common adapters); on a stop-and-wait link that
// wait comes on top of every reply, so the driver is asked to pass bytes on
// at once. The kernel's serial header may clash with the C library's
// termios, so it stays in low_latency.cpp and this interface uses no kernel
// type; callers hand in a native descriptor (QSerialPort::handle() too).
#pragma once

#include <optional>

namespace gimbal {

enum class LowLatency {
    AlreadyOn,   // the driver had it set
    SwitchedOn,  // set now
    Refused,     // the device has no such setting (a pty, many drivers) or denied it
};

// The serial flags to write so that low-latency mode is on, every other flag
// kept; none when `flags` has it on already and nothing needs writing.
std::optional<int> lowLatencyFlags(int flags);

// The serial flags to write so that low-latency mode is off again, every
// other flag kept; none when it is off already.
std::optional<int> lowLatencyClearedFlags(int flags);

// Asks the driver of an open terminal for low-latency mode. A refusal is an
// answer, not an error: nothing is reported and errno is left as it was.
// Blocks only for the two ioctl calls.
LowLatency requestLowLatency(int fd);

// Puts back what requestLowLatency found: switches the mode off again when
// that call switched it on, and does nothing otherwise. The driver keeps the
// setting after the last close (ftdi_sio keeps its latency timer at 1 ms
// until the adapter is replugged), so each opener must undo its own change.
// Call it before closing, never on a device known to be gone. Quiet like
// requestLowLatency.
void restoreLowLatency(int fd, LowLatency atOpen);

}  // namespace gimbal
