#include "upgrader/serial/kiv_assert.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "upgrader/platform/system_log.h"

namespace serial {

namespace {

std::mutex handlerMutex;
KivAssertionHandler* installedHandler = new KivAssertionHandler;  // leaked: usable until exit

}  // namespace

void setKivAssertionHandler(KivAssertionHandler handler) {
    std::lock_guard lock(handlerMutex);
    *installedHandler = std::move(handler);
}

void kivAssertionFailure(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    KivAssertionHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = *installedHandler;
    }
    if (handler)
        handler(text);
    else
        platform::systemLog("*** Assertion failure: %s", text);
}

}  // namespace serial
