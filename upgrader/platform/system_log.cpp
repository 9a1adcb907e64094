#include "upgrader/platform/system_log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>

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
    // One fprintf per line so that lines from several threads do not interleave.
    if (std::FILE* stream = echoStream.load()) std::fprintf(stream, "%s\n", line);
}

void echoSystemLogTo(std::FILE* stream) {
    echoStream.store(stream);
}

}  // namespace platform
