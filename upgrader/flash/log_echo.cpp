#include "upgrader/flash/log_echo.h"

#include <sys/types.h>

#include <mutex>

#include "upgrader/platform/system_log.h"

namespace flash {

namespace {

thread_local const std::string* scopedPort = nullptr;

// What the prefixing stream writes to. Its writes run under the stream's own
// lock, so lines from several threads stay whole.
struct Target {
    std::mutex mutex;
    std::FILE* stream = nullptr;
    std::string fallback;
    bool atLineStart = true;
};

Target& target() {
    static Target t;
    return t;
}

ssize_t writePrefixedLines(Target& t, const char* data, std::size_t size) {
    const std::lock_guard lock(t.mutex);
    if (!t.stream) return static_cast<ssize_t>(size);
    // One write: standard error is unbuffered.
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (t.atLineStart) text += (scopedPort ? *scopedPort : t.fallback) + ": ";
        text += data[i];
        t.atLineStart = data[i] == '\n';
    }
    std::fwrite(text.data(), 1, text.size(), t.stream);
    std::fflush(t.stream);
    return static_cast<ssize_t>(size);
}

// Called from C: nothing may be thrown through it.
ssize_t writePrefixed(void* cookie, const char* data, std::size_t size) {
    try {
        return writePrefixedLines(*static_cast<Target*>(cookie), data, size);
    } catch (...) {
        return -1;
    }
}

// Made once and never closed: another thread may be writing a line to it
// while the echo is switched off.
std::FILE* prefixingStream() {
    static std::FILE* const stream = [] {
        cookie_io_functions_t functions{};
        functions.write = writePrefixed;
        std::FILE* f = ::fopencookie(&target(), "w", functions);
        if (f) std::setvbuf(f, nullptr, _IOLBF, 4096);
        return f;
    }();
    return stream;
}

}  // namespace

SystemLogEcho::SystemLogEcho(std::FILE* stream, std::string fallback) {
    if (!stream) return;
    std::FILE* prefixing = prefixingStream();
    if (!prefixing) return;  // no memory for the stream: the lines stay in the system log
    {
        Target& t = target();
        const std::lock_guard lock(t.mutex);
        t.stream = stream;
        t.fallback = std::move(fallback);
        t.atLineStart = true;
    }
    platform::echoSystemLogTo(prefixing);
    active_ = true;
}

SystemLogEcho::~SystemLogEcho() {
    if (!active_) return;
    platform::echoSystemLogTo(nullptr);
    Target& t = target();
    const std::lock_guard lock(t.mutex);
    t.stream = nullptr;
}

LogPortScope::LogPortScope(const std::string& port) : previous_(scopedPort) {
    scopedPort = &port;
}

LogPortScope::~LogPortScope() {
    scopedPort = previous_;
}

}  // namespace flash
