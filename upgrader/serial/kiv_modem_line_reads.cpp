#include "upgrader/serial/kiv_modem_line_reads.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "link/posix_io.h"

namespace serial {

std::optional<ModemLineCounts> readModemLineCounts(int fd) {
    const int savedErrno = errno;
    serial_icounter_struct counts{};
    const int result = gimbal::retryOnInterrupt([&] { return ::ioctl(fd, TIOCGICOUNT, &counts); });
    errno = savedErrno;
    if (result != 0) return std::nullopt;
    return ModemLineCounts{counts.cts, counts.dsr, counts.dcd};
}

bool modemLinesCostARequest(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    const std::string bus = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                            std::to_string(minor(status.st_rdev)) + "/device/subsystem";
    std::error_code error;
    const auto target = std::filesystem::read_symlink(bus, error);
    return !error && target.filename() == "usb-serial";
}

bool ModemLineReads::shouldRead(std::optional<ModemLineCounts> counts, Clock::time_point now) {
    const bool read = !costly_ || !lastRead_ || now - *lastRead_ >= kRefresh ||
                      (counts && countsAtLastRead_ && *counts != *countsAtLastRead_);
    if (read) {
        lastRead_ = now;
        countsAtLastRead_ = counts;
    }
    return read;
}

}  // namespace serial
