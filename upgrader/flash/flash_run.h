// The whole program after the command line: checks the file, runs one
// session per port at once on the main loop, prints the summary and answers
// the exit code. Main thread, inside a platform::Application; blocks until
// every session has ended.
#pragma once

#include <ostream>

#include "upgrader/flash/options.h"
#include "upgrader/flash/reporter.h"

namespace flash {

int runFlash(const Options& options, std::ostream& out, OutputForm form);

}  // namespace flash
