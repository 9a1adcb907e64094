#include "upgrader/platform/system_log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>

namespace platform {

void systemLog(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    syslog(LOG_NOTICE, "%s", line);
    // One fprintf per line so that lines from several threads do not interleave.
    std::fprintf(stderr, "%s\n", line);
}

}  // namespace platform
