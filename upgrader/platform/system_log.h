// The upgrader's diagnostic log: one line per call, printf-style, sent to the
// system log (syslog) and to standard error. No levels, no files; nothing
// reads it back. Safe to call from any thread.
#pragma once

namespace platform {

void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
