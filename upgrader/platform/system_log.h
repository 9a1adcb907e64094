// The upgrader's diagnostic log: one line per call, printf-style, sent to the
// system log (syslog, which the journal collects). No levels, no files;
// nothing reads it back. A command-line tool may also echo the lines to a
// stream of its own (a --verbose run). Safe to call from any thread.
#pragma once

#include <cstdio>

namespace platform {

void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Also writes every line to `stream` from now on; nullptr (the default) stops.
void echoSystemLogTo(std::FILE* stream);

}  // namespace platform
