// The serial layer's system-log lines, echoed to a stream for a --verbose
// run, each after the port it concerns: the port of the innermost
// LogPortScope on the thread that logs, or a fallback name elsewhere.
// Safe to use from any thread.
#pragma once

#include <cstdio>
#include <string>

namespace flash {

// Echoes from construction to destruction; a null stream echoes nothing.
class SystemLogEcho {
public:
    SystemLogEcho(std::FILE* stream, std::string fallback);
    ~SystemLogEcho();
    SystemLogEcho(const SystemLogEcho&) = delete;
    SystemLogEcho& operator=(const SystemLogEcho&) = delete;

private:
    bool active_ = false;
};

// Lines logged on this thread while the scope lives are about `port`.
class LogPortScope {
public:
    explicit LogPortScope(const std::string& port);
    ~LogPortScope();
    LogPortScope(const LogPortScope&) = delete;
    LogPortScope& operator=(const LogPortScope&) = delete;

private:
    const std::string* previous_;
};

}  // namespace flash
