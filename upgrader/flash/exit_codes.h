// The exit codes of quenlo-flash, one per kind of failure, so that scripts
// can tell a refused file from a silent gimbal without reading the text.
#pragma once

#include <string_view>

namespace flash {

enum class ExitCode : int {
    Ok = 0,
    Internal = 1,         // the program could not run (e.g. no event loop)
    Usage = 2,            // bad command line
    RefusedFile = 3,      // unreadable, too short or inconsistent firmware file, or an MCU without pages
    PortError = 4,        // a port could not be found, opened or written
    DeviceRemoved = 5,    // the device went away during the session
    NoVersionReport = 6,  // no version report within --wait seconds
    SendFailed = 7,       // a page or switch request went unanswered for 30 s ("send Failed"), or the gimbal restarted
    LeftAlone = 8,        // --watch: a port another program held was left to it, so not every gimbal was upgraded
    // --expect-version: the restarted gimbal announced another version, or
    // none within the wait.
    VersionDiffers = 9,
    Unconfirmed = 10,
    // Stopped by a signal; the shell's code for a process it ended (128 + signal).
    HungUp = 129,       // SIGHUP: the terminal went away
    Interrupted = 130,  // SIGINT: Ctrl-C
    Terminated = 143,   // SIGTERM
};

// The code for stopping on SIGHUP, SIGINT or SIGTERM.
ExitCode exitCodeForSignal(int signal);

constexpr int toInt(ExitCode code) {
    return static_cast<int>(code);
}

// Short machine-friendly name ("send-failed"), used in JSON output.
std::string_view exitCodeName(ExitCode code);

}  // namespace flash
