// Application start of the upgrader: the application object, its delegate,
// the main window, the event loop, closing every port at quit, and a clean
// stop on SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <functional>

namespace app {

class MainWindow;

// Runs the program; answers its exit status: the event loop's, or 128 + the
// signal that stopped it. argc and argv as given to main. `shown` runs once
// the window is up (test harnesses drive the window from there).
int quenloMain(int& argc, char** argv, const std::function<void(MainWindow&)>& shown = {});

// Closes every port the manager lists and waits (briefly, serving the event
// loop) until their closes are done. Needs the application object: a port's
// close reports to the main thread.
void closeAllPortsBeforeExit();

}  // namespace app
