// The master side of a pseudo-terminal: the simulated gimbal's end of the wire.
//
// Thread contract: owned and used by one thread at a time (the simulator's
// worker); nothing here blocks. Linux facts this relies on (checked on the
// kernel we run): bytes a departed client left unread stay queued for the
// next opener; the slave's termios and its exclusive-use flag survive a close
// and reopen, and while that flag is set only root can open the slave. So we
// keep a slave descriptor of our own from the start (the only way an ordinary
// user can clear the flag a killed client left), and count the clients'
// opens and closes through inotify, since with our descriptor held the
// master no longer hangs up when they leave. A failed open makes no event.
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

    struct ClientEvents {
        bool left = false;     // every client had gone at some point (then maybe one came)
        bool present = false;  // some client has the slave open now
    };
    // Takes the open and close events that came since the last call: a client
    // that leaves and the next that comes at once show as both.
    ClientEvents takeClientEvents();
    // Readable when a client opened or closed the slave.
    int watchFd() const { return watch_.get(); }
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
    PseudoTerminal(gimbal::UniqueFd master, gimbal::UniqueFd slave, gimbal::UniqueFd watch, std::string path)
        : master_(std::move(master)), slave_(std::move(slave)), watch_(std::move(watch)), path_(std::move(path)) {}

    gimbal::UniqueFd master_;
    gimbal::UniqueFd slave_;  // ours, never used for data
    gimbal::UniqueFd watch_;  // inotify on the slave's node
    int clients_ = 0;         // open client descriptions of the slave
    std::string path_;
    std::vector<std::uint8_t> pending_;
    std::size_t written_ = 0;
};

}  // namespace sim
