// A simulated gimbal on a pseudo-terminal. It plays the gimbal's boot firmware
// in either tool's dialect so that tests and demos run without hardware: the
// code under test opens slavePath(), the simulator owns the master side.
//
// Thread contract: the simulator runs one worker thread of its own between
// start() and stop(). Every public member may be called from any thread; the
// recorded data are returned as snapshots. waitFor() blocks the caller until
// the predicate holds or the deadline passes; stop() and the destructor block
// until the worker has ended. A fault policy runs on the worker thread.
//
// The line behaves like a wire: nothing is sent while no client has the slave
// open, and nothing sent to one client reaches the next. When a client opens
// the slave (again) the gimbal comes up afresh and announces until answered;
// segments keep counting and what was recorded stays.
//
// Upgrades (runs) are told apart so that their recordings do not mix: a new
// one begins with an enter request that answers a fresh gimbal's
// announcement, or with block 0 after a run has switched twice and its last
// MCU/image has gone past block 0 (a tool started again on an open port). A
// last image of one block leaves a restart without reopening undetectable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

enum class Dialect {
    Pages,   // desktop upgrader: 1024-byte pages, switch request without payload
    Blocks,  // three-axis updater: announced block size, switch request with payload 01
};

// What happens to one reply (a block or switch acknowledgement).
enum class Fault {
    None,
    Drop,          // not sent
    Delay,         // sent after Options::delay
    Duplicate,     // sent twice
    CorruptCrc,    // last CRC byte inverted
    Split,         // written in Options::splitPieces writes, Options::splitGap apart
    Noise,         // Options::noiseBytes random bytes written in front of it, in the same write
    WrongAddress,  // address 0x01 with a CRC that holds
    Stray,         // the stray bytes kStrayBytes (a header of no reply) written in front of it, in the same write
    Restart,       // not sent: the gimbal restarts instead and announces until answered
    Silent,        // not sent, and neither this nor anything later (announcements included)
    Vanish,        // the master is closed instead: the device disappears
};

struct ReplyInfo {
    std::size_t number = 0;    // replies due so far, 0 for the first
    std::uint8_t command = 0;  // 0x03 or 0x08
    std::uint16_t index = 0;   // acknowledged block index (0 for a switch)
    std::size_t segment = 0;   // MCU / image the reply belongs to (a switch: the one it ends)
};

using FaultPolicy = std::function<Fault(const ReplyInfo&)>;

// Called on the worker thread just before each write of a reply goes on the
// line (a copy or a piece too; announcements have a gate of their own), with
// Stats::bytesSent at that moment. It may block: a client that judges each
// read on its own waits there until it has read everything sent before, so no
// reply, copy or piece shares a read with an earlier one however late its
// reader runs.
using ReplyGate = std::function<void(std::size_t bytesSentBefore)>;

struct Options {
    Dialect dialect = Dialect::Pages;
    std::uint16_t version = 123;
    bool longAnnouncement = false;                  // 32-byte announcement instead of the 12-byte one
    std::uint16_t blockSize = 1024;                 // announced block size (the pages dialect always uses 1024)
    std::chrono::milliseconds announcePeriod{500};  // at least 1 ms
    std::uint32_t baud = 0;                         // pace both directions at 10 bits per byte; 0 = unpaced
    std::chrono::milliseconds delay{300};
    std::size_t splitPieces = 2;  // at least 1, at most the frame's length
    std::chrono::milliseconds splitGap{30};
    std::size_t noiseBytes = 5;  // never 0x55, so noise cannot start a frame
    // Replies are numbered from 0: silentAfter = 2 answers replies 0 and 1,
    // then nothing more; vanishAfter = 2 vanishes instead of reply 2 (once).
    std::size_t silentAfter = std::numeric_limits<std::size_t>::max();
    std::size_t vanishAfter = std::numeric_limits<std::size_t>::max();
    // After the last MCU's / image's blocks have stopped coming for
    // restartAfterUpgrade, restart and announce this version (new firmware
    // running); none = stay quiet, as a gimbal waiting to be restarted.
    std::optional<std::uint16_t> versionAfterUpgrade;
    std::chrono::milliseconds restartAfterUpgrade{300};
    FaultPolicy faults;   // per reply; none = no faults
    ReplyGate replyGate;  // none = replies go out when due
    // The same for each announcement. A client that flushes its input when
    // it opens the line (every port does) loses what came before; a test that
    // counts announcements holds them until its open has returned.
    ReplyGate announcementGate;  // none = announcements go out when due
    // Bytes the gimbal's receiver holds before the host's first byte, as the
    // echo of its own announcements at an adapter's first open leaves them
    // (55 AA 5E 40 5E 40 reads as a header of 16478 bytes).
    Bytes heldAtStart;
};

// One block or page frame as the gimbal took it.
struct BlockRecord {
    std::size_t segment = 0;  // switch requests taken before it, counted over all runs
    std::uint16_t index = 0;
    Bytes data;
    std::size_t run = 0;         // the upgrade it belongs to, 0 for the first
    std::size_t runSegment = 0;  // MCU / image within that upgrade
};

// What began an upgrade.
enum class RunStart {
    First,            // the first since the simulator started
    EnterRequest,     // an enter request answering a fresh gimbal
    FirstBlockAgain,  // block 0 after a run that had switched twice
};

struct RunInfo {
    RunStart start = RunStart::First;
    std::size_t segments = 1;  // MCUs / images begun: switch requests taken + 1
};

struct Stats {
    std::size_t framesReceived = 0;   // sound frames addressed to the gimbal
    std::size_t badCrcFrames = 0;     // whole frames whose CRC did not hold
    std::size_t malformedFrames = 0;  // sound but not what the dialect expects
    std::size_t enterRequests = 0;    // command 0x01
    std::size_t switchRequests = 0;   // command 0x07
    std::size_t blockFrames = 0;      // command 0x02
    std::size_t announcementsSent = 0;
    std::size_t repliesDue = 0;  // acknowledgements the gimbal owed
    // Acknowledgements that went out (a split one once, a duplicate twice).
    // Counted just after the write, so a client may hold the bytes a moment
    // before the count shows them: wait for it with waitFor().
    std::size_t repliesSent = 0;
    std::size_t bytesSent = 0;           // bytes the line took: announcements, replies, noise
    std::size_t reopens = 0;             // times the slave side was opened again after a close
    std::size_t hangups = 0;             // times the last client closed the slave side
    std::size_t otherAddressFrames = 0;  // sound frames for another address (ignored)
    std::size_t stalePartialFrames = 0;  // unfinished frames dropped after a second of silence
    // With pacing: how much later than their wire time writes went out (the
    // simulator's own error; the pty's delivery to the client comes on top).
    std::chrono::nanoseconds pacingLatenessTotal{0};
    std::chrono::nanoseconds pacingLatenessMax{0};
};

class GimbalSim {
public:
    explicit GimbalSim(Options options = {});
    ~GimbalSim();
    GimbalSim(const GimbalSim&) = delete;
    GimbalSim& operator=(const GimbalSim&) = delete;

    // Opens a pseudo-terminal and starts playing. False (with a reason in
    // *error) when no pseudo-terminal could be had, or on a second call.
    bool start(std::string* error = nullptr);
    void stop();
    std::string slavePath() const;

    // After a Vanish fault: a new pseudo-terminal (a new path), announcing again.
    // False (with a reason) when the simulator is not running or has not vanished.
    bool revive(std::string* error = nullptr);
    bool vanished() const;

    void setFaultPolicy(FaultPolicy policy);

    Stats stats() const;
    std::size_t segment() const;                // switch requests taken so far
    std::vector<BlockRecord> blockLog() const;  // every block frame, in arrival order
    // The latest data of each block of a segment, in index order, concatenated.
    Bytes image(std::size_t segment) const;
    std::map<std::uint16_t, Bytes> blocks(std::size_t segment) const;
    // The upgrades seen so far (at least one), and the blocks of one of them.
    std::vector<RunInfo> runs() const;
    std::map<std::uint16_t, Bytes> runBlocks(std::size_t run, std::size_t runSegment) const;

    // Waits until pred(*this) holds; re-checked after every event of the
    // simulator. False when the deadline passed first.
    bool waitFor(const std::function<bool(const GimbalSim&)>& pred,
                 std::chrono::milliseconds deadline = std::chrono::seconds(20)) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Ready-made policies.
FaultPolicy faultsAt(std::map<std::size_t, Fault> byReplyNumber);
// Each reply gets one of `kinds` with the given probability, from a seeded generator.
FaultPolicy randomFaults(std::uint64_t seed, double probability, std::vector<Fault> kinds);

}  // namespace sim
