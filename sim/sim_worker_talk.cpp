// The worker's conversation with the host: frames taken at the end of their
// wire time, acknowledgements sent through the fault plan, announcements, and
// writes paced onto the line.
#include <algorithm>
#include <utility>

#include "link/frame.h"
#include "sim/sim_worker.h"

namespace sim {

struct SimWorker::WriteChain {
    std::vector<PlannedWrite> writes;
    std::size_t next = 0;
    bool announcement = false;
    std::uint64_t epoch = 0;
};

void SimWorker::onBytes(const Bytes& bytes, TimePoint now) {
    const TimePoint start = pacer_.receive(now, bytes.size());
    if (!std::exchange(heldTaken_, true)) assembler_.push(options_.heldAtStart, now);
    for (gimbal::FrameAssembler::Piece& piece : assembler_.push(bytes, now)) {
        // Acted on when its last byte would have come off the wire.
        const TimePoint due = start + pacer_.wireTime(piece.endInChunk);
        const std::uint64_t number = ++framesTaken_;
        const TimerQueue::Id timer = timers_.schedule(due, [this, number](TimePoint) { actOnFrameDue(number); });
        framesDue_.push_back(FrameDue{number, timer, std::move(piece), due});
    }
    rearmStaleTimer();
}

void SimWorker::actOnFrameDue(std::uint64_t number) {
    const auto it = std::find_if(framesDue_.begin(), framesDue_.end(),
                                 [number](const FrameDue& frame) { return frame.number == number; });
    if (it == framesDue_.end()) return;
    const FrameDue frame = std::move(*it);
    framesDue_.erase(it);
    actOnFrame(frame.piece, frame.due);
}

// A client that leaves has still sent what it wrote: the gimbal takes those
// frames before it comes up for the next client, so that an answer to the
// last boot's announcement never silences the next boot's.
void SimWorker::actOnEveryFrameDue(TimePoint now) {
    while (!framesDue_.empty()) {
        const FrameDue frame = std::move(framesDue_.front());
        framesDue_.pop_front();
        timers_.cancel(frame.timer);
        actOnFrame(frame.piece, now);
    }
}

void SimWorker::rearmStaleTimer() {
    if (staleTimer_ != 0) timers_.cancel(staleTimer_);
    staleTimer_ = 0;
    const auto at = assembler_.staleAt();
    if (!at) return;
    staleTimer_ = timers_.schedule(*at, [this](TimePoint due) {
        staleTimer_ = 0;
        if (assembler_.dropStale(due)) shared_.update([](Record& r) { ++r.stats.stalePartialFrames; });
    });
}

void SimWorker::actOnFrame(const gimbal::FrameAssembler::Piece& piece, TimePoint due) {
    if (!piece.crcHolds) {
        shared_.update([](Record& r) { ++r.stats.badCrcFrames; });
        return;
    }
    const gimbal::FrameCheck check = gimbal::checkFrame(piece.frame);
    if (check.frame.address != gimbal::kHostAddress) {
        shared_.update([](Record& r) { ++r.stats.otherAddressFrames; });
        return;
    }
    const FrameOutcome outcome = protocol_.take(check.frame.command, check.frame.payload);
    publish(outcome);
    if (!outcome.reply) return;
    answer(*outcome.reply, due);
    restartAfterUpgradeLater(due);
}

// A gimbal given new firmware runs it after a restart and announces its new
// version: once the last MCU's / image's blocks stop coming.
void SimWorker::restartAfterUpgradeLater(TimePoint due) {
    const std::uint64_t seen = ++lastFrameSeen_;
    if (!options_.versionAfterUpgrade || !protocol_.inLastSegment()) return;
    const std::uint64_t epoch = epoch_;
    timers_.schedule(due + options_.restartAfterUpgrade, [this, seen, epoch](TimePoint at) {
        if (seen != lastFrameSeen_ || epoch != epoch_ || line_ != Line::Open) return;
        protocol_.setVersion(*options_.versionAfterUpgrade);
        protocol_.reboot();
        announce(at, epoch_);
    });
}

void SimWorker::publish(const FrameOutcome& outcome) {
    const std::size_t segment = protocol_.segment();
    const std::size_t run = protocol_.run();
    const RunInfo info{protocol_.runStart(), protocol_.runSegment() + 1};
    shared_.update([&](Record& r) {
        if (r.runs.size() <= run) r.runs.resize(run + 1);
        r.runs[run] = info;
        ++r.stats.framesReceived;
        if (outcome.malformed) ++r.stats.malformedFrames;
        if (outcome.kind == FrameOutcome::Kind::Enter) ++r.stats.enterRequests;
        if (outcome.kind == FrameOutcome::Kind::Block) ++r.stats.blockFrames;
        if (outcome.kind == FrameOutcome::Kind::Switch) ++r.stats.switchRequests;
        if (outcome.block) r.addBlock(*outcome.block);
        r.segment = segment;
    });
}

void SimWorker::answer(const OwedReply& reply, TimePoint due) {
    const ReplyInfo info{repliesDue_++, reply.command, reply.index, reply.segment};
    Fault fault = Fault::Silent;
    if (!silent_) {
        // A copy, so the policy runs without the lock and may ask the simulator things.
        const FaultPolicy policy = shared_.read([](const Record& r) { return r.policy; });
        fault = chooseFault(info, options_, policy);
    }
    shared_.update([](Record& r) { ++r.stats.repliesDue; });
    if (fault == Fault::Silent) {
        silent_ = true;
        return;
    }
    if (fault == Fault::Vanish) {
        vanish();
        return;
    }
    if (fault == Fault::Restart) {  // what it was sent is forgotten; it announces as after power-up
        protocol_.reboot();
        announce(due, epoch_);
        return;
    }
    auto chain = std::make_shared<WriteChain>();
    chain->writes = planReply(reply.frame, fault, options_, mix64(info.number));
    chain->epoch = epoch_;
    sendNext(chain, due);
}

void SimWorker::announce(TimePoint due, std::uint64_t epoch) {
    if (epoch != epoch_ || line_ != Line::Open || silent_ || !protocol_.announcing()) return;
    auto chain = std::make_shared<WriteChain>();
    chain->writes.push_back(PlannedWrite{Nanos::zero(), protocol_.announcement(), true});
    chain->announcement = true;
    chain->epoch = epoch;
    sendNext(chain, due);
    // A steady period, but no burst of announcements after a stall.
    const TimePoint next = std::max(due + options_.announcePeriod, Clock::now());
    timers_.schedule(next, [this, epoch](TimePoint at) { announce(at, epoch); });
}

void SimWorker::sendNext(const std::shared_ptr<WriteChain>& chain, TimePoint from) {
    if (chain->next >= chain->writes.size()) return;
    const TimePoint ready = from + chain->writes[chain->next].after;
    timers_.schedule(ready, [this, chain](TimePoint when) {
        // The line is taken when the write is ready, not when it was planned:
        // a delayed reply does not hold up what comes meanwhile.
        const std::size_t size = chain->writes[chain->next].bytes.size();
        const TimePoint done = pacer_.reserveTransmit(when, size);
        timers_.schedule(done, [this, chain](TimePoint at) { writeNow(chain, at); });
    });
}

void SimWorker::writeNow(const std::shared_ptr<WriteChain>& chain, TimePoint when) {
    // A client that left, or a line that changed hands, never hears it.
    if (chain->epoch != epoch_ || line_ != Line::Open || !pty_) return;
    if (const ReplyGate& gate = chain->announcement ? options_.announcementGate : options_.replyGate)
        gate(shared_.read([](const Record& r) { return r.stats.bytesSent; }));
    const PlannedWrite& write = chain->writes[chain->next++];
    const std::size_t before = pty_->bytesWritten();
    const bool written = pty_->write(write.bytes);
    const std::size_t took = pty_->bytesWritten() - before;
    const Nanos late = pacer_.paced() ? std::max(Clock::now() - when, Nanos::zero()) : Nanos::zero();
    const bool counts = written && write.completesReply;
    const bool announcement = chain->announcement;
    shared_.update([&](Record& r) {
        r.stats.pacingLatenessTotal += late;
        r.stats.pacingLatenessMax = std::max(r.stats.pacingLatenessMax, late);
        r.stats.bytesSent += took;
        if (counts) ++(announcement ? r.stats.announcementsSent : r.stats.repliesSent);
    });
    sendNext(chain, when);
}

}  // namespace sim
