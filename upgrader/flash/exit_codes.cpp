#include "upgrader/flash/exit_codes.h"

#include <csignal>

namespace flash {

std::string_view exitCodeName(ExitCode code) {
    switch (code) {
        case ExitCode::Ok:
            return "ok";
        case ExitCode::Internal:
            return "internal";
        case ExitCode::Usage:
            return "usage";
        case ExitCode::RefusedFile:
            return "refused-file";
        case ExitCode::PortError:
            return "port-error";
        case ExitCode::DeviceRemoved:
            return "device-removed";
        case ExitCode::NoVersionReport:
            return "no-version-report";
        case ExitCode::SendFailed:
            return "send-failed";
        case ExitCode::LeftAlone:
            return "left-alone";
        case ExitCode::VersionDiffers:
            return "version-differs";
        case ExitCode::Unconfirmed:
            return "unconfirmed";
        case ExitCode::HungUp:
        case ExitCode::Interrupted:
        case ExitCode::Terminated:
            return "interrupted";
    }
    return "unknown";
}

ExitCode exitCodeForSignal(int signal) {
    switch (signal) {
        case SIGHUP:
            return ExitCode::HungUp;
        case SIGTERM:
            return ExitCode::Terminated;
        default:
            return ExitCode::Interrupted;
    }
}

}  // namespace flash
