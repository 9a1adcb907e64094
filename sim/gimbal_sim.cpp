// GimbalSim: the public face. Owns the shared record and the worker; start,
// stop and revive are serialised among themselves.
#include "sim/gimbal_sim.h"

#include <algorithm>
#include <mutex>

#include "sim/pseudo_terminal.h"
#include "sim/shared_state.h"
#include "sim/sim_worker.h"

namespace sim {
namespace {

// Values that would make the worker spin or misbehave are brought into range.
Options normalised(Options o) {
    o.announcePeriod = std::max(o.announcePeriod, std::chrono::milliseconds(1));
    o.delay = std::max(o.delay, std::chrono::milliseconds(0));
    o.splitGap = std::max(o.splitGap, std::chrono::milliseconds(0));
    o.splitPieces = std::max<std::size_t>(o.splitPieces, 1);
    return o;
}

bool refuse(std::string* error, const char* why) {
    if (error) *error = why;
    return false;
}

}  // namespace

struct GimbalSim::Impl {
    explicit Impl(Options o) : options(normalised(std::move(o))) {
        shared.update([this](Record& r) { r.policy = options.faults; });
    }

    bool hangOn(std::string* error) {
        auto pty = PseudoTerminal::create(error);
        if (!pty) return false;
        shared.update([&](Record& r) {
            r.slavePath = pty->slavePath();
            r.vanished = false;
        });
        if (worker) {
            worker->adopt(std::move(*pty));
            return true;
        }
        worker = SimWorker::launch(options, shared, std::move(*pty), error);
        return worker != nullptr;
    }

    const Options options;
    SharedState shared;
    std::mutex lifecycle;  // start, stop, revive
    std::unique_ptr<SimWorker> worker;
    bool started = false;
};

GimbalSim::GimbalSim(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

GimbalSim::~GimbalSim() {
    stop();
}

bool GimbalSim::start(std::string* error) {
    std::lock_guard lock(impl_->lifecycle);
    // Once only: a second run would number segments afresh against the old record.
    if (impl_->started) return refuse(error, "the simulated gimbal was started before");
    impl_->started = true;
    return impl_->hangOn(error);
}

void GimbalSim::stop() {
    std::lock_guard lock(impl_->lifecycle);
    impl_->worker.reset();  // joins the thread and closes the pty
}

bool GimbalSim::revive(std::string* error) {
    std::lock_guard lock(impl_->lifecycle);
    if (!impl_->worker) return refuse(error, "the simulated gimbal is not running");
    if (!vanished()) return refuse(error, "the simulated gimbal has not vanished");
    return impl_->hangOn(error);
}

std::string GimbalSim::slavePath() const {
    return impl_->shared.read([](const Record& r) { return r.slavePath; });
}

bool GimbalSim::vanished() const {
    return impl_->shared.read([](const Record& r) { return r.vanished; });
}

void GimbalSim::setFaultPolicy(FaultPolicy policy) {
    impl_->shared.update([&](Record& r) { r.policy = std::move(policy); });
}

Stats GimbalSim::stats() const {
    return impl_->shared.read([](const Record& r) { return r.stats; });
}

std::size_t GimbalSim::segment() const {
    return impl_->shared.read([](const Record& r) { return r.segment; });
}

std::vector<BlockRecord> GimbalSim::blockLog() const {
    return impl_->shared.read([](const Record& r) { return r.log; });
}

std::map<std::uint16_t, Bytes> GimbalSim::blocks(std::size_t segment) const {
    return impl_->shared.read([segment](const Record& r) {
        const auto it = r.latest.find(segment);
        return it == r.latest.end() ? std::map<std::uint16_t, Bytes>{} : it->second;
    });
}

std::vector<RunInfo> GimbalSim::runs() const {
    return impl_->shared.read([](const Record& r) { return r.runs; });
}

std::map<std::uint16_t, Bytes> GimbalSim::runBlocks(std::size_t run, std::size_t runSegment) const {
    return impl_->shared.read([&](const Record& r) {
        const auto it = r.latestByRun.find({run, runSegment});
        return it == r.latestByRun.end() ? std::map<std::uint16_t, Bytes>{} : it->second;
    });
}

Bytes GimbalSim::image(std::size_t segment) const {
    Bytes out;
    for (const auto& [index, data] : blocks(segment)) out.insert(out.end(), data.begin(), data.end());
    return out;
}

bool GimbalSim::waitFor(const std::function<bool(const GimbalSim&)>& pred, std::chrono::milliseconds deadline) const {
    return impl_->shared.waitUntil([&] { return pred(*this); }, Clock::now() + deadline);
}

}  // namespace sim
