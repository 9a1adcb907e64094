// The simulator's worker thread: one poll loop over the pty master, an eventfd
// for stop and hand-overs, and a timerfd set to the next due timer. It plays
// the gimbal: announces, takes frames at the end of their wire time, answers
// them through the fault plan, and follows clients coming and going.
//
// Thread contract: the worker thread owns the pty, the protocol, the pacer,
// the assembler and the timers; nothing else touches them. Other threads reach
// it only through adopt() and stop() (stop() blocks until the thread ended)
// and see what it did only through SharedState.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "link/frame_assembler.h"
#include "link/unique_fd.h"
#include "sim/fault_plan.h"
#include "sim/gimbal_protocol.h"
#include "sim/line_pacer.h"
#include "sim/pseudo_terminal.h"
#include "sim/shared_state.h"
#include "sim/timer_queue.h"

namespace sim {

class SimWorker {
public:
    // Starts the thread on `pty`; null (with a reason) when the wake-up or
    // timer descriptors cannot be had.
    static std::unique_ptr<SimWorker> launch(const Options& options, SharedState& shared, PseudoTerminal pty,
                                             std::string* error);
    ~SimWorker();
    SimWorker(const SimWorker&) = delete;
    SimWorker& operator=(const SimWorker&) = delete;

    // Plays on a new pty from now on (after the old one vanished).
    void adopt(PseudoTerminal pty);
    void stop();

private:
    enum class Line { Waiting, Open, HungUp, Gone };
    struct WriteChain;
    struct FrameDue {
        std::uint64_t number = 0;
        TimerQueue::Id timer = 0;
        gimbal::FrameAssembler::Piece piece;
        TimePoint due;
    };

    SimWorker(const Options& options, SharedState& shared, PseudoTerminal pty, gimbal::UniqueFd wake,
              gimbal::UniqueFd timer);
    void run();
    void waitAndDispatch();
    void armTimer();
    void wake();
    void takeAdopted();

    void onMasterEvents(short revents);
    void onClientsChanged();
    void onBytes(const Bytes& bytes, TimePoint now);
    void rearmStaleTimer();
    void actOnFrame(const gimbal::FrameAssembler::Piece& piece, TimePoint due);
    void actOnFrameDue(std::uint64_t number);
    void actOnEveryFrameDue(TimePoint now);
    void publish(const FrameOutcome& outcome);
    void answer(const OwedReply& reply, TimePoint due);
    void restartAfterUpgradeLater(TimePoint due);
    void vanish();

    void announce(TimePoint due, std::uint64_t epoch);
    void sendNext(const std::shared_ptr<WriteChain>& chain, TimePoint from);
    void writeNow(const std::shared_ptr<WriteChain>& chain, TimePoint when);

    void probe(std::uint64_t epoch);
    void onOpened(TimePoint now);
    void onHungUp(TimePoint now);

    const Options options_;
    SharedState& shared_;
    gimbal::UniqueFd wake_;
    gimbal::UniqueFd timer_;
    std::atomic<bool> stopping_{false};
    std::mutex adoptMutex_;
    std::optional<PseudoTerminal> adopted_;  // guarded by adoptMutex_

    // Worker thread only from here on.
    std::optional<PseudoTerminal> pty_;
    Line line_ = Line::Waiting;
    bool everOpened_ = false;
    bool silent_ = false;
    // Bumped whenever the line changes hands: writes, announcements and probes
    // of an earlier epoch die quietly instead of being cancelled one by one.
    std::uint64_t epoch_ = 0;
    std::size_t repliesDue_ = 0;
    std::uint64_t lastFrameSeen_ = 0;  // bumped by each answered frame: a later one puts the restart off
    TimerQueue timers_;
    TimerQueue::Id staleTimer_ = 0;
    std::deque<FrameDue> framesDue_;  // whole frames waiting for the end of their wire time
    std::uint64_t framesTaken_ = 0;
    LinePacer pacer_;
    gimbal::FrameAssembler assembler_;
    bool heldTaken_ = false;  // Options::heldAtStart is in the assembler
    GimbalProtocol protocol_;
    std::thread thread_;  // last: starts after everything above is built
};

}  // namespace sim
