// Runs a program as a child process and collects its exit code and output,
// waiting for it with a deadline (the child is killed when it passes).
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace flash_test {

struct ChildResult {
    int exitCode = -1;  // -1: did not exit normally (killed, timed out)
    bool timedOut = false;
    std::vector<std::string> lines;  // standard output
    std::string errorOutput;         // standard error
};

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::seconds deadline = std::chrono::seconds(120));

}  // namespace flash_test
