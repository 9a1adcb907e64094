// quenlo-flash --watch, the flashing bench: checks the file once, then
// upgrades every serial port that appears (an adapter plugged in, a virtual
// port placed), each once per appearance and several at once, with the same
// sessions as the multi-port run. Ports present at the start are never
// opened. Each result is appended to the --log file; a termination signal
// stops the upgrades under way and the watch. Main thread, inside a
// platform::Application; blocks until stopped by a signal.
#pragma once

#include <ostream>

#include "upgrader/flash/options.h"
#include "upgrader/flash/reporter.h"

namespace flash {

// `columns`: the terminal's width, for the live lines.
int runWatch(const Options& options, std::ostream& out, std::ostream& err, OutputForm form, int columns = 80);

}  // namespace flash
