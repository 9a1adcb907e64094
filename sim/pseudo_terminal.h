// The master side of a pseudo-terminal: the simulated gimbal's end of the wire.
//
// Thread contract: owned and used by one thread at a time (the simulator's
// worker); nothing here blocks. Linux facts this relies on (checked on the
// kernel we run): while nobody has the slave open the master polls POLLHUP
// and read() fails with EIO; bytes written to the master meanwhile, and bytes a
// departed client left unread, stay queued for the next opener; the slave's
// termios and its exclusive-use flag survive a close and reopen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "link/unique_fd.h"

namespace sim {

class PseudoTerminal {
public:
    // Opens a pair with the slave in raw mode (no echo can return our own
    // bytes to us), then closes the slave: until a client opens it the line is
    // hung up, as it is after any client leaves.
    static std::optional<PseudoTerminal> create(std::string* error);

    const std::string& slavePath() const { return path_; }
    int masterFd() const { return master_.get(); }
    bool isOpen() const { return master_.valid(); }
    void close();

    struct ReadResult {
        std::vector<std::uint8_t> bytes;
        bool hungUp = false;  // the client has gone (after the bytes it left)
    };
    // Reads what is waiting, bounded so a flood cannot starve the timers.
    ReadResult readAvailable();

    // True while some client has the slave open.
    bool slaveOpen() const;
    // After the last client left: drops what it left unread and its
    // exclusive-use flag, as a real serial device forgets both at last close.
    void forgetDepartedClient();

    // Writes all of `bytes`; what the client is not reading fast enough waits
    // here (up to a bound, beyond which bytes are lost like a UART overrun).
    // False when bytes were lost.
    bool write(std::span<const std::uint8_t> bytes);
    bool hasPendingOutput() const { return !pending_.empty(); }
    void flushPending();
    // Bytes the master has taken so far (what waits here is not counted).
    std::size_t bytesWritten() const { return written_; }
    void dropPendingOutput() { pending_.clear(); }

private:
    PseudoTerminal(gimbal::UniqueFd master, std::string path)
        : master_(std::move(master)), path_(std::move(path)) {}

    gimbal::UniqueFd master_;
    std::string path_;
    std::vector<std::uint8_t> pending_;
    std::size_t written_ = 0;
};

}  // namespace sim
