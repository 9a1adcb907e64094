// SIGINT, SIGTERM and SIGHUP turned into a readable descriptor, so a program
// can stop from its event loop (close ports, clear exclusive flags, remove
// lock files) instead of dying in the middle of a write. One per process.
#pragma once

#include "link/unique_fd.h"

namespace gimbal {

class TerminationSignals {
public:
    // Installs the handlers, except for a signal inherited as ignored (nohup),
    // which stays ignored; the previous dispositions come back on destruction.
    TerminationSignals();
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // Becomes readable when one of the signals arrived. Non-blocking.
    int fd() const { return readEnd_.get(); }
    // The next signal caught, or 0 when none is waiting.
    int take();

    // The exit status a shell gives a process ended by `signal` (130 for SIGINT).
    static int exitCodeFor(int signal) { return 128 + signal; }

private:
    UniqueFd readEnd_;
};

}  // namespace gimbal
