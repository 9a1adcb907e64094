// Application start of the upgrader: the application object, its delegate,
// the main window, the event loop, and closing every port at quit.
#pragma once

// Runs the program; answers its exit status. argc and argv as given to main.
int quenloMain(int& argc, char** argv);

// Closes every port the manager lists and waits (briefly, serving the event
// loop) until their closes are done. Needs the application object: a port's
// close reports to the main thread.
void closeAllPortsBeforeExit();
