#include "upgrader/flash/flash_run.h"

#include <memory>
#include <optional>
#include <vector>

#include "upgrader/engine/firmware_image.h"
#include "upgrader/flash/event_loop.h"
#include "upgrader/flash/session.h"
#include "upgrader/platform/application.h"

namespace flash {

namespace {

// Refuses the file as the window would (at load, or at Start), before any
// port is touched.
std::optional<std::string> fileRefusal(const std::string& file) {
    upgrader::LoadResult r = upgrader::loadFirmwareImage(file);
    if (!r.image) {
        if (r.error == upgrader::LoadError::TooShort)
            return file + ": too short for a firmware image (under 8 bytes)";
        return file + ": " + r.detail;
    }
    std::int64_t total = 0;
    for (const std::int64_t c : r.image->pageCount) total += c;
    if (total <= 0) return file + ": the firmware image has no pages to send";
    if (!upgrader::imageHoldsEveryPage(*r.image))
        return file + ": the firmware image is shorter than its page counts say; nothing was sent";
    return std::nullopt;
}

bool all(const std::vector<std::shared_ptr<Session>>& sessions, bool (Session::*test)() const) {
    for (const auto& s : sessions)
        if (!((*s).*test)()) return false;
    return true;
}

}  // namespace

int runFlash(const Options& options, std::ostream& out, OutputForm form) {
    Reporter reporter(out, form);
    if (const auto refusal = fileRefusal(options.file)) {
        reporter.fileRefused(options.file, *refusal);
        return toInt(ExitCode::RefusedFile);
    }
    std::vector<std::shared_ptr<Session>> sessions;
    for (const auto& path : options.ports)
        sessions.push_back(std::make_shared<Session>(path, options.baud, options.wait, reporter));
    // Every session ends by itself: the version wait and the page timer bound it.
    EventLoop loop;
    for (const auto& s : sessions)
        s->setOnFinished([&] {
            if (all(sessions, &Session::finished)) loop.quit();
        });
    for (const auto& s : sessions) s->start(options.file);
    if (!all(sessions, &Session::finished)) loop.run();
    platform::runMainLoopUntil([&] { return all(sessions, &Session::closed); }, std::chrono::seconds(5));

    ExitCode result = ExitCode::Ok;
    for (const auto& s : sessions) {
        reporter.summary(s->path(), s->code(), s->reason());
        if (result == ExitCode::Ok) result = s->code();
    }
    return toInt(result);
}

}  // namespace flash
