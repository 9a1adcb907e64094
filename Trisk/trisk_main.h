// Program entry of the three-axis updater: the application, the window, and
// a clean stop on SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <functional>

namespace trisk {

class Widget;

// Runs the program and answers its exit status: the event loop's, or 128 +
// the signal that stopped it. `shown` runs once the window is up (test
// harnesses drive the window from there).
int triskMain(int& argc, char** argv, const std::function<void(Widget&)>& shown = {});

}  // namespace trisk
