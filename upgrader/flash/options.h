// Command line of quenlo-flash: parsing into Options, the --help text (which
// also documents the exit codes) and the --version line.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/port_diagnosis.h"
#include "upgrader/engine/dialect.h"

namespace flash {

struct Options {
    std::vector<std::string> ports;
    std::uint32_t baud = 115200;
    std::chrono::milliseconds wait{10000};
    bool json = false;
    bool quiet = false;      // summary lines only (errors still go to standard error)
    bool verbose = false;    // the engine's and serial layer's diagnostic lines, on standard error
    bool ignoreCrc = false;  // flash a file whose stored CRC does not hold
    bool help = false;
    bool version = false;
    bool list = false;       // list the ports and their state instead of flashing
    bool watch = false;      // upgrade every port that appears, until stopped
    bool threeAxis = false;  // speak the three-axis updater's blocks instead of the pages
    std::string log;         // --watch: where each result is appended
    // After the upgrade: the version the restarted gimbal must announce, and
    // how long to wait for that announcement.
    std::optional<std::string> expectVersion;
    std::chrono::milliseconds confirmWait{30000};
    std::string slotsFile;   // the slots file: a label for each physical socket
    bool onlySlots = false;  // ports that are in no slot are left alone
    std::string file;
    // Not on the command line: tests shorten it; none waits the dialect's
    // own (30 s for a page, 3 s for each send of a block).
    std::optional<std::chrono::milliseconds> pageTimeout;
    // Not on the command line: where a port's trouble is looked up; tests
    // point it at folders of their own.
    gimbal::SystemPaths systemPaths;
};

// The dialect the options ask for.
engine::Dialect dialectOf(const Options& options);

struct ParseResult {
    std::optional<Options> options;  // none on a usage error
    std::string error;               // why, for a usage error
};

// `args` excludes the program name.
ParseResult parseOptions(const std::vector<std::string>& args);

// Tests of the whole program shorten the page timer through this variable
// (milliseconds); a value that is no whole number from 1 to 30000 is ignored.
// Messages still name the 30 s the program waits.
inline constexpr char kTestPageTimeoutVariable[] = "QUENLO_FLASH_TEST_PAGE_TIMEOUT_MS";
void applyTestPageTimeout(Options& options, const char* milliseconds);

std::string helpText();
std::string versionText();
// The project's version alone ("0.1.0"), as records name the tool.
std::string toolVersion();

}  // namespace flash
