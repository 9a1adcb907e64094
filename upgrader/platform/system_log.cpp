#include "upgrader/platform/system_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>

#include "link/terminal_text.h"

namespace platform {
namespace {

std::atomic<std::FILE*> echoStream{nullptr};

}  // namespace

void systemLog(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    syslog(LOG_NOTICE, "%s", line);
    // One fprintf per line so that lines from several threads do not interleave;
    // names in it come from outside, so nothing in it may steer a terminal.
    if (std::FILE* stream = echoStream.load()) std::fprintf(stream, "%s\n", gimbal::terminalSafe(line).c_str());
}

void echoSystemLogTo(std::FILE* stream) {
    echoStream.store(stream);
}

}  // namespace platform
