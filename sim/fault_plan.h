// Which fault hits a reply, and what a fault does to the bytes of a reply:
// the writes it becomes, their bytes and their spacing.
//
// Thread contract: free functions without state of their own.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/gimbal_sim.h"
#include "sim/sim_clock.h"

namespace sim {

// The thresholds first (silentAfter from that reply on, vanishAfter once, at
// that reply), then the caller's policy; None without one.
Fault chooseFault(const ReplyInfo& info, const Options& options, const FaultPolicy& policy);

struct PlannedWrite {
    Nanos after{0};  // the first: after the reply is due; the others: after the write before
    Bytes bytes;
    bool completesReply = false;  // the reply has gone out once this is written
};

// The writes a reply frame becomes under `fault`. Drop, Silent and Vanish
// send nothing, so they give no writes. `seed` makes noise repeatable.
std::vector<PlannedWrite> planReply(const Bytes& frame, Fault fault, const Options& options, std::uint64_t seed);

// A header no reply has (55 AA 00 03, a 1024-byte length): what a line
// glitch can look like in front of a sound acknowledgement.
inline const Bytes kStrayBytes{0x55, 0xAA, 0x00, 0x03, 0x00, 0x04};

// Noise that cannot start a frame: it never holds the first sync byte.
Bytes noiseBytes(std::size_t count, std::uint64_t seed);

// A well-spread 64-bit hash (splitmix64), for repeatable pseudo-random choices.
std::uint64_t mix64(std::uint64_t x);

}  // namespace sim
