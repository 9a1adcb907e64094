// The one judge of what sits at a device's lock path. The lock folders are
// writable by every local user, so a lock file is only a claim: it stands
// while its flock is held, or while the process it names lives and runs the
// program it names. The exclusive open, the diagnosis (--list, tooltips,
// Trisk's refusals) and through them the bench all ask here, so none of
// them believes what another doubts. Standard C++ and POSIX only.
#pragma once

#include <string>

#include "link/lock_file_content.h"
#include "link/unique_fd.h"

namespace gimbal {

enum class LockClaim {
    Absent,      // nothing there
    NotALock,    // a link, FIFO, directory or device: nobody's lock
    Stale,       // a lock file nobody holds
    Held,        // its flock is held, or its process lives and runs the program it names
    Unreadable,  // another user's file this user may not open: nothing tells that it is stale
    Failed,      // could not be looked at; `error` says why
};

struct LockJudgement {
    LockClaim claim = LockClaim::Absent;
    LockFileContent content;  // what a regular file says (Held, Stale)
    bool flocked = false;     // Held: by its flock, not by the PID alone
    UniqueFd fd;              // Stale: the file, flocked by this process while this lives
    int error = 0;            // Failed: the errno
};

// Never blocks, never follows a link, reads at most a small bound.
LockJudgement judgeLockFile(const std::string& file);

// Whether the claim keeps others from the device.
inline bool claimStands(LockClaim claim) {
    return claim == LockClaim::Held || claim == LockClaim::Unreadable;
}

// Whether `pid` lives and runs `program` (its executable's file name; the
// kernel's command name where another user's executable cannot be read).
// An empty name matches nothing: a bare PID proves nothing.
bool processRunsProgram(long pid, const std::string& program);

// The file name of the executable `pid` runs (" (deleted)" dropped, as
// after an upgrade on disk); empty when it cannot be read.
std::string executableName(long pid);

// What is at `file`, in a few words: "a directory", "a FIFO", "a symbolic
// link", "a device", "a socket", "a file".
std::string whatIsAt(const std::string& file);
// How to remove what is at `file`, as a user types it.
std::string removalCommand(const std::string& file);

}  // namespace gimbal
