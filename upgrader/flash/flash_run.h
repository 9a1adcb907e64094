// The whole program after the command line: checks the file, runs one
// session per port at once on the main loop, prints the summary and answers
// the exit code. Results go to `out`, errors and diagnostics to `err` (see
// Reporter). Main thread, inside a platform::Application; blocks until
// every session has ended.
#pragma once

#include <ostream>

#include "upgrader/flash/options.h"
#include "upgrader/flash/reporter.h"

namespace flash {

int runFlash(const Options& options, std::ostream& out, std::ostream& err, OutputForm form);

}  // namespace flash
