// What a failed system call on an open serial device means for the port:
// the device gone, a device without modem lines, or a failure that may pass.
#pragma once

#include <cerrno>

namespace serial {

// Linux reports a hang-up (unplugged adapter, closed pty master) as EIO,
// ENODEV just before.
inline bool meansDeviceGone(int code) {
    return code == EIO || code == ENODEV || code == ENXIO;
}

// A device that has no modem lines (a pseudo-terminal) says so on every call.
inline bool meansNoModemLines(int code) {
    return code == ENOTTY || code == EINVAL;
}

// What the 10 ms modem-line poll does after reading the lines failed with
// `code`, when `previousCode` failed the read before (0 after a success).
struct PinPollFailure {
    bool removal = false;      // the device is gone: report synchronously, then removal
    bool stopPolling = false;  // nothing will change by asking again
    bool report = false;       // tell the delegate
};

inline PinPollFailure pinPollFailure(int code, int previousCode) {
    if (meansDeviceGone(code)) return {true, true, true};
    if (meansNoModemLines(code)) return {false, true, true};
    // Anything else may pass (a busy driver, an interrupted call): keep
    // polling, and say so when the failure starts or changes, not every 10 ms.
    return {false, false, code != previousCode};
}

}  // namespace serial
