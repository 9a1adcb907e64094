// What the command-line tools (quenlo-flash, gimbal-sim, gimbal-make-image)
// share on top of CLI11: one help layout, one version, and usage errors in
// our own words, naming the option.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/info_options.h"

namespace cli {

// An App laid out our way: usage first, then `description` (already
// wrapped), the options by group with their defaults, then `footer`. A
// repeated option keeps its last value, as it always did; flags take no
// value. Add -h/--help and --version with addHelp() once the options are in.
std::unique_ptr<CLI::App> makeApp(const std::string& program, const std::string& description,
                                  const std::string& footer = {});

// -h/--help, and --version unless the program gives that name another
// meaning, in a group of their own at the end of the help.
void addHelp(CLI::App& app, bool withVersion);

// A value check for Option::check(), whose message follows the option's
// name, e.g. "--baud" + "wants a rate from 1 to 4000000, not \"0\"".
// `test` returns the message, empty when the value is good.
CLI::Validator check(std::function<std::string(std::string&)> test);

// A whole decimal number from min to max, for Option::transform(): the value
// is written back without leading zeros, because CLI11 would read "010" as
// octal. `describe` words the message: given the value, what was wanted.
CLI::Validator wholeNumber(std::uint64_t min, std::uint64_t max,
                           std::function<std::string(const std::string&)> describe);

struct Parse {
    enum class Outcome { Run, Help, Version, Error };
    Outcome outcome = Outcome::Run;
    std::string text;  // Help: the help; Version: the version line; Error: what was wrong
};

// Parses `args` (without the program name). CLI11's errors become ours:
// "--port needs a value", "--json takes no value", "unknown option --x",
// "unexpected argument x", or the option's name and its check's message.
Parse parse(CLI::App& app, const std::vector<std::string>& args);

}  // namespace cli
