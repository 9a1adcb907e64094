// The gimbal-sim program's command line: what it accepts, its help text, and
// the fault policy the options describe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/gimbal_sim.h"

namespace sim {

struct CliConfig {
    Options options;
    std::map<std::size_t, Fault> faultsByReply;  // reply number (from 0) -> fault
    std::optional<double> randomProbability;     // --random-faults
    std::uint64_t seed = 1;
    std::string outDir;    // --out: empty to write no files
    std::string linkName;  // --link: empty for none
};

struct CliParse {
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Run;
    CliConfig config;
    std::string error;  // for Error: what was wrong, naming the option
};

// `args` excludes the program name.
CliParse parseCommandLine(const std::vector<std::string>& args);
std::string usageText();
// "gimbal-sim 0.1.0".
std::string versionText();
// Faults given by reply number win; the random ones fill in the rest.
FaultPolicy faultPolicyFor(const CliConfig& config);

}  // namespace sim
