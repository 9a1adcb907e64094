#include "upgrader/flash/flash_run.h"

#include <memory>
#include <optional>
#include <vector>

#include "upgrader/flash/file_check.h"
#include "upgrader/flash/session.h"
#include "upgrader/flash/signal_watch.h"
#include "upgrader/flash/slots.h"
#include "upgrader/flash/unit_record.h"
#include "upgrader/platform/event_loop.h"
#include "upgrader/platform/exit_budget.h"

namespace flash {

namespace {

bool all(const std::vector<std::shared_ptr<Session>>& sessions, bool (Session::*test)() const) {
    for (const auto& s : sessions)
        if (!((*s).*test)()) return false;
    return true;
}

}  // namespace

int runFlash(const Options& options, std::ostream& out, std::ostream& err, OutputForm form) {
    platform::forgetExit();  // an earlier run in this process (tests) has ended
    Reporter reporter(out, err, form,
                      options.quiet     ? Detail::Quiet
                      : options.verbose ? Detail::Verbose
                                        : Detail::Normal);
    std::vector<Slot> table;
    if (!loadSlots(options.slotsFile, reporter, table)) return toInt(ExitCode::Usage);
    FileCheck file = checkFile(options.file, dialectOf(options));
    if (const auto refused = reportFileCheck(file, options, reporter)) return toInt(*refused);
    const auto image = std::make_shared<const engine::LoadedImage>(std::move(file.image));  // one for every port
    const auto facts = std::make_shared<const ImageFacts>(imageFactsOf(options.file, *image));
    std::vector<std::shared_ptr<Session>> sessions;
    std::vector<BenchRecord> records;
    for (const auto& path : options.ports) {
        records.push_back(recordOnAppearance(path, path, options, facts, table));
        if (!records.back().slot.empty()) reporter.setSlot(path, records.back().slot);
        sessions.push_back(std::make_shared<Session>(path, options, reporter));
    }
    // Every session ends by itself (the version wait and the page timer bound
    // it) or on a termination signal, which stops them all. A signal that
    // stopped nothing (the last close under way) does not change the result.
    std::optional<ExitCode> interruption;
    const SignalWatch signals([&](int signal) {
        bool stopped = false;
        for (const auto& s : sessions) stopped = s->interrupt(signal) || stopped;
        if (stopped && !interruption) interruption = exitCodeForSignal(signal);
    });
    platform::EventLoop loop;
    const auto began = std::chrono::steady_clock::now();
    std::vector<double> seconds(sessions.size(), 0);
    for (std::size_t i = 0; i < sessions.size(); ++i)
        sessions[i]->setOnFinished([&, i] {
            seconds[i] = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            if (all(sessions, &Session::finished)) loop.quit();
        });
    for (const auto& s : sessions) s->start(image);
    if (!all(sessions, &Session::finished)) loop.run();
    waitForClosesBeforeExit([&] { return all(sessions, &Session::closed); }, err);

    ExitCode result = ExitCode::Ok;
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        const Session& s = *sessions[i];
        recordOutcome(records[i], s, seconds[i]);
        reporter.summary(s.path(), s.code(), s.reason(), s.diagnosis(), recordJson(records[i]));
        if (result == ExitCode::Ok) result = s.code();
    }
    return toInt(interruption.value_or(result));
}

}  // namespace flash
