// Caller errors (a zero device handle, the argument-less initialiser) raise
// an assertion failure: the message goes to the installed handler. The
// default handler logs it and returns, and the operation then answers none,
// so a wrong call never brings the program down.
#pragma once

#include <functional>
#include <string>

namespace serial {

using KivAssertionHandler = std::function<void(const std::string& message)>;

// An empty handler restores the default.
void setKivAssertionHandler(KivAssertionHandler handler);

void kivAssertionFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace serial
