// --help and --version answered the same way by every program: the one
// project version, and the window programs' info options. Free of CLI11, so
// the windows do not compile the parser they never use.
#pragma once

#include <optional>
#include <string>

namespace cli {

// "quenlo-flash 0.1.0": the project's version, the same for every tool.
std::string versionLine(const std::string& program);

// For the window programs, whose other arguments are Qt's: --help prints
// `help`, --version the version line, both on standard output and without a
// display. Answers the exit status when one was given, none otherwise.
std::optional<int> answerInfoOptions(int argc, char** argv, const std::string& program, const std::string& help);

}  // namespace cli
