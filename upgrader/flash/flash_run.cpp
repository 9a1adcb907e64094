#include "upgrader/flash/flash_run.h"

#include <memory>
#include <optional>
#include <vector>

#include "upgrader/engine/firmware_image.h"
#include "upgrader/flash/session.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/event_loop.h"

namespace flash {

namespace {

// Refuses the file as the window would (at load, or at Start), before any
// port is touched.
std::optional<std::string> fileRefusal(const std::string& file) {
    const upgrader::LoadResult r = upgrader::loadFirmwareImage(file);
    if (!r.image) return file + ": " + upgrader::loadErrorText(r);
    if (const auto refusal = upgrader::imageRefusal(*r.image)) return file + ": " + upgrader::refusalText(*refusal);
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
        sessions.push_back(std::make_shared<Session>(path, options, reporter));
    // Every session ends by itself: the version wait and the page timer bound it.
    platform::EventLoop loop;
    for (const auto& s : sessions)
        s->setOnFinished([&] {
            if (all(sessions, &Session::finished)) loop.quit();
        });
    for (const auto& s : sessions) s->start(options.file);
    if (!all(sessions, &Session::finished)) loop.run();
    platform::runMainLoopUntil([&] { return all(sessions, &Session::closed); }, std::chrono::seconds(5));

    ExitCode result = ExitCode::Ok;
    for (const auto& s : sessions) {
        reporter.summary(s->path(), s->code(), s->reason(), s->diagnosis());
        if (result == ExitCode::Ok) result = s->code();
    }
    return toInt(result);
}

}  // namespace flash
