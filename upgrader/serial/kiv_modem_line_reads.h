// When the modem-line poll reads the lines. On most drivers reading them
// (TIOCMGET) costs a register read or a cached value. Behind a USB-serial
// adapter (ftdi_sio and its kind) it is a USB control request: one every
// 10 ms loads the adapter, and when the adapter is pulled out a request in
// flight can hold the poll thread, and with it the read source that would
// see the removal, for the request's 5 s time-out. There the poll reads the
// driver's line-change counters instead (TIOCGICOUNT: kept from the status
// the adapter sends along with its data, no request) and asks for the lines
// only when a counter moved, and once a second for drivers that count
// nothing. The kernel's serial header stays in the .cpp.
#pragma once

#include <chrono>
#include <optional>

namespace serial {

struct ModemLineCounts {
    int cts = 0;
    int dsr = 0;
    int dcd = 0;
    bool operator==(const ModemLineCounts&) const = default;
};

// The driver's change counters of the three input lines; none where it
// keeps none (a pty). Never a USB request.
std::optional<ModemLineCounts> readModemLineCounts(int fd);

// Whether reading the lines of this terminal costs a USB control request:
// its device sits on the usb-serial bus (sysfs).
bool modemLinesCostARequest(int fd);

// Poll thread only.
class ModemLineReads {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kRefresh = std::chrono::seconds(1);

    ModemLineReads() = default;
    explicit ModemLineReads(bool linesCostARequest) : costly_(linesCostARequest) {}

    bool costly() const { return costly_; }
    // Called on every poll with the counters read just before; answers
    // whether to read the lines now. Always, where reading is cheap; else on
    // the first poll, when a counter moved, and after kRefresh without a read.
    bool shouldRead(std::optional<ModemLineCounts> counts, Clock::time_point now);

private:
    bool costly_ = false;
    std::optional<Clock::time_point> lastRead_;
    std::optional<ModemLineCounts> countsAtLastRead_;
};

}  // namespace serial
