#include "upgrader/flash/watch_run.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "upgrader/flash/bench_display.h"
#include "upgrader/flash/bench_log.h"
#include "upgrader/flash/file_check.h"
#include "upgrader/flash/port_list.h"
#include "upgrader/flash/session.h"
#include "upgrader/flash/signal_watch.h"
#include "upgrader/flash/slots.h"
#include "upgrader/flash/unit_record.h"
#include "upgrader/platform/event_loop.h"
#include "upgrader/platform/exit_budget.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/platform/one_shot_timer.h"
#include "upgrader/serial/kiv_serial_port_manager.h"

namespace flash {

namespace {

constexpr std::chrono::milliseconds kLiveRefresh{200};

// What lines name a port by: its slot's label, else its path.
std::string labelOf(const BenchRecord& record) {
    return record.slot.empty() ? record.port : record.slot;
}

// One appearance of a port: its session and what the log will say of it.
struct Gimbal {
    std::shared_ptr<Session> session;
    BenchRecord record;
    std::chrono::steady_clock::time_point began;
};

class Bench : public std::enable_shared_from_this<Bench> {
public:
    Bench(const Options& options, std::shared_ptr<const engine::LoadedImage> image, Reporter& reporter,
          BenchDisplay& display, BenchLog* log, OutputForm form, std::vector<Slot> table)
        : options_(options),
          image_(std::move(image)),
          imageFacts_(std::make_shared<const ImageFacts>(imageFactsOf(options.file, *image_))),
          slots_(std::move(table)),
          reporter_(reporter),
          display_(display),
          log_(log),
          form_(form) {}

    // Follows the manager's list from now on; answers the ports left alone.
    std::vector<std::string> watch(serial::KivSerialPortManager& manager) {
        std::vector<std::string> present;
        for (const auto& port : manager.availablePorts()) present.push_back(port->path());
        std::weak_ptr<Bench> self = weak_from_this();
        std::weak_ptr<serial::KivSerialPortManager> weakManager = manager.shared_from_this();
        manager.addAvailablePortsObserver([self, weakManager](serial::KivSerialPortManager::Change change,
                                                              const serial::KivSerialPortManager::IndexSet& indexes) {
            auto bench = self.lock();
            auto manager = weakManager.lock();
            if (!bench || !manager || change != serial::KivSerialPortManager::Change::Insertion) return;
            for (std::size_t index : indexes)
                if (auto port = manager->objectInAvailablePortsAtIndex(index)) {
                    // After the manager has finished with the batch.
                    platform::mainQueueAsync([self, port] {
                        if (auto b = self.lock()) b->appeared(port->path(), port->name());
                    });
                }
        });
        if (form_ == OutputForm::Terminal) refreshLive();
        return present;
    }

    // Stops every upgrade under way; false when none was.
    bool interrupt(int signal) {
        stopped_ = true;
        bool any = false;
        const auto gimbals = gimbals_;
        for (const auto& g : gimbals) any = g->session->interrupt(signal) || any;
        return any;
    }

    bool allClosed() const {
        return std::all_of(gimbals_.begin(), gimbals_.end(), [](const auto& g) { return g->session->closed(); });
    }
    const BenchCounts& counts() const { return counts_; }
    std::optional<ExitCode> firstFailure() const { return firstFailure_; }
    bool logLost() const { return logLost_; }

private:
    void appeared(const std::string& path, const std::string& name) {
        if (stopped_) return;
        prune();
        // The same device announced twice while its upgrade runs is one appearance.
        for (const auto& g : gimbals_)
            if (g->record.port == path && !g->session->finished()) return;
        auto g = std::make_shared<Gimbal>();
        g->record = recordOnAppearance(path, name, options_, imageFacts_, slots_);
        if (options_.onlySlots && g->record.slot.empty()) {
            reporter_.warning(path, "left alone: in no slot of " + options_.slotsFile);
            return;
        }
        if (!g->record.slot.empty()) reporter_.setSlot(path, g->record.slot);
        g->began = std::chrono::steady_clock::now();
        g->session = std::make_shared<Session>(path, options_, reporter_);
        // The finished line tells a failure where both streams share a terminal.
        g->session->setReportsFailures(form_ != OutputForm::Terminal);
        g->session->setLeavesBusyPortsAlone(true);
        std::weak_ptr<Bench> self = weak_from_this();
        std::weak_ptr<Gimbal> weakGimbal = g;
        g->session->setOnFinished([self, weakGimbal] {
            auto b = self.lock();
            auto gimbal = weakGimbal.lock();
            if (b && gimbal) b->finished(*gimbal);
        });
        gimbals_.push_back(g);
        ++counts_.underWay;
        display_.appeared(labelOf(g->record), g->record.slot.empty() ? name : path);
        showLive();
        g->session->start(image_);
    }

    void finished(Gimbal& g) {
        const Session& s = *g.session;
        BenchRecord& r = g.record;
        recordOutcome(r, s, std::chrono::duration<double>(std::chrono::steady_clock::now() - g.began).count());
        if (heldByAnotherProgram(s)) {
            r.code = ExitCode::LeftAlone;
            r.message = s.diagnosis()->text;
        }
        --counts_.underWay;
        if (r.code == ExitCode::Ok)
            ++counts_.upgraded;
        else
            ++(r.code == ExitCode::LeftAlone ? counts_.leftAlone : counts_.failed);
        if (r.code != ExitCode::Ok && !firstFailure_) firstFailure_ = r.code;
        tellBrlttyOnce(g);
        if (log_ && !log_->append(r)) {
            logLost_ = true;
            reporter_.warning(r.port, std::string("this port's result (") + resultName(r.code) +
                                          ") is lost: it could not be written to the log: " + log_->error());
        }
        display_.finished(r, counts_);
        showLive();
    }

    // A port that was gone again within 2 s of appearing, with brltty
    // installed, was most likely taken by it: one line per port says so.
    void tellBrlttyOnce(const Gimbal& g) {
        const BenchRecord& r = g.record;
        const auto* why = g.session->diagnosis();
        const bool gone = r.code == ExitCode::DeviceRemoved || (why && why->cause == gimbal::PortCause::Gone);
        if (!gone || r.seconds >= 2 || brlttyTold_.contains(r.port) || !gimbal::brlttyInstalled()) return;
        brlttyTold_.insert(r.port);
        reporter_.warning(r.port, gimbal::brlttyFlapText(r.port));
    }

    // A port another program holds when it appears (a second bench sharing
    // these ports, say) is that program's to upgrade, not a failure here. It
    // is still a gimbal this bench did not upgrade: recorded, counted apart,
    // and the exit code says so, since the holder may not be what it claims.
    static bool heldByAnotherProgram(const Session& s) {
        return s.code() == ExitCode::PortError && s.diagnosis() && s.diagnosis()->cause == gimbal::PortCause::Busy;
    }

    // Forgets the appearances whose ports are closed. Never from a session's
    // own callback: the session would be destroyed under its caller.
    void prune() {
        std::erase_if(gimbals_, [](const auto& g) { return g->session->finished() && g->session->closed(); });
    }

    void showLive() {
        std::vector<BenchDisplay::Live> live;
        for (const auto& g : gimbals_)
            if (!g->session->finished())
                live.push_back({labelOf(g->record), g->session->version(), g->session->stand()});
        display_.setLive(std::move(live), counts_);
    }

    void refreshLive() {
        prune();
        showLive();
        std::weak_ptr<Bench> self = weak_from_this();
        liveTimer_ = platform::startOneShotTimer(kLiveRefresh, [self] {
            if (auto b = self.lock(); b && !b->stopped_) b->refreshLive();
        });
    }

    const Options& options_;
    const std::shared_ptr<const engine::LoadedImage> image_;  // one for every gimbal
    const std::shared_ptr<const ImageFacts> imageFacts_;      // its digest, read once
    const std::vector<Slot> slots_;
    Reporter& reporter_;
    BenchDisplay& display_;
    BenchLog* log_;
    const OutputForm form_;
    std::vector<std::shared_ptr<Gimbal>> gimbals_;
    BenchCounts counts_;
    std::optional<ExitCode> firstFailure_;
    bool logLost_ = false;
    std::set<std::string> brlttyTold_;
    bool stopped_ = false;
    std::unique_ptr<platform::OneShotTimer> liveTimer_;
};

}  // namespace

int runWatch(const Options& options, std::ostream& out, std::ostream& err, OutputForm form, int columns) {
    platform::forgetExit();  // an earlier run in this process (tests) has ended
    BenchDisplay display(out, form, columns);
    // On a terminal the live lines own the screen: everything else is
    // printed above them, and the results are the finished lines.
    AboveStream above(display);
    const bool terminal = form == OutputForm::Terminal;
    Reporter reporter(terminal ? above : out, terminal ? above : err, terminal ? OutputForm::Text : form,
                      options.verbose             ? Detail::Verbose
                      : options.quiet || terminal ? Detail::Quiet
                                                  : Detail::Normal);
    std::vector<Slot> table;
    if (!loadSlots(options.slotsFile, reporter, table)) return toInt(ExitCode::Usage);
    FileCheck file = checkFile(options.file, dialectOf(options));
    if (const auto refused = reportFileCheck(file, options, reporter)) return toInt(*refused);
    std::optional<BenchLog> log;
    if (!options.log.empty()) {
        log.emplace(options.log);
        if (!log->isOpen()) {
            reporter.fileRefused(options.log, "the log cannot be opened for appending: " + log->error(),
                                 ExitCode::Usage);
            return toInt(ExitCode::Usage);
        }
    }

    auto image = std::make_shared<const engine::LoadedImage>(std::move(file.image));
    platform::EventLoop loop;
    const auto bench = std::make_shared<Bench>(options, std::move(image), reporter, display, log ? &*log : nullptr,
                                               form, std::move(table));
    std::optional<ExitCode> interruption;
    const SignalWatch signals([&](int signal) {
        if (bench->interrupt(signal) && !interruption) interruption = exitCodeForSignal(signal);
        loop.quit();
    });
    display.watching(options.file, bench->watch(*serial::KivSerialPortManager::sharedSerialPortManager()));
    loop.run();
    waitForClosesBeforeExit([&] { return bench->allClosed(); }, err);

    const ExitCode code =
        interruption.value_or(bench->firstFailure().value_or(bench->logLost() ? ExitCode::Internal : ExitCode::Ok));
    display.stopped(bench->counts(), code);
    return toInt(code);
}

}  // namespace flash
