#include "upgrader/flash/flash_run.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "link/firmware_file.h"
#include "upgrader/engine/firmware_image.h"
#include "upgrader/flash/session.h"
#include "upgrader/flash/signal_watch.h"
#include "upgrader/platform/application.h"
#include "upgrader/platform/event_loop.h"

namespace flash {

namespace {

std::string hex16(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

struct FileCheck {
    upgrader::Bytes bytes;               // what was checked; the sessions flash exactly this
    std::optional<std::string> refusal;  // why the file is refused
    std::optional<std::string> crcMismatch;
};

// Refuses the file as the window would (at load, or at Start), and one whose
// stored CRC does not hold, before any port is touched: a damaged or cut-off
// download must not end up in a gimbal.
FileCheck checkFile(const std::string& file) {
    FileCheck check;
    upgrader::LoadResult r = upgrader::loadFirmwareImage(file);
    if (!r.image) {
        check.refusal = file + ": " + upgrader::loadErrorText(r);
        return check;
    }
    if (const auto refusal = upgrader::imageRefusal(*r.image)) {
        check.refusal = file + ": " + upgrader::refusalText(*refusal);
        return check;
    }
    check.bytes = std::move(r.image->binbytes);
    const auto header = gimbal::readFirmwareHeader(check.bytes);
    const auto computed = gimbal::computeFirmwareCrc(check.bytes);
    if (header && computed && header->storedCrc != *computed)
        check.crcMismatch = file + ": stored CRC " + hex16(header->storedCrc) + " does not match " + hex16(*computed) +
                            ", the CRC of its contents: the file is damaged or incomplete";
    return check;
}

bool all(const std::vector<std::shared_ptr<Session>>& sessions, bool (Session::*test)() const) {
    for (const auto& s : sessions)
        if (!((*s).*test)()) return false;
    return true;
}

}  // namespace

int runFlash(const Options& options, std::ostream& out, std::ostream& err, OutputForm form) {
    Reporter reporter(out, err, form,
                      options.quiet     ? Detail::Quiet
                      : options.verbose ? Detail::Verbose
                                        : Detail::Normal);
    const FileCheck file = checkFile(options.file);
    if (file.refusal || (file.crcMismatch && !options.ignoreCrc)) {
        reporter.fileRefused(options.file, file.refusal ? *file.refusal
                                                        : *file.crcMismatch +
                                                              "; get it again (--ignore-crc "
                                                              "flashes it anyway)");
        return toInt(ExitCode::RefusedFile);
    }
    if (file.crcMismatch) reporter.fileWarning(options.file, *file.crcMismatch + "; flashing it anyway (--ignore-crc)");
    std::vector<std::shared_ptr<Session>> sessions;
    for (const auto& path : options.ports) sessions.push_back(std::make_shared<Session>(path, options, reporter));
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
    for (const auto& s : sessions)
        s->setOnFinished([&] {
            if (all(sessions, &Session::finished)) loop.quit();
        });
    for (const auto& s : sessions) s->start(options.file, file.bytes);
    if (!all(sessions, &Session::finished)) loop.run();
    platform::runMainLoopUntil([&] { return all(sessions, &Session::closed); }, std::chrono::seconds(5));

    ExitCode result = ExitCode::Ok;
    for (const auto& s : sessions) {
        reporter.summary(s->path(), s->code(), s->reason(), s->diagnosis());
        if (result == ExitCode::Ok) result = s->code();
    }
    return toInt(interruption.value_or(result));
}

}  // namespace flash
