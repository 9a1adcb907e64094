// Runs a program as a child process and collects its exit code and output,
// waiting for it with a deadline (the child is killed when it passes). A
// RunningChild can also be watched line by line while it runs, to act (send
// it a signal) once it has printed something.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace flash_test {

struct ChildResult {
    int exitCode = -1;  // -1: did not exit normally (killed, timed out)
    bool timedOut = false;
    std::vector<std::string> lines;       // standard output
    std::string errorOutput;              // standard error
    std::vector<std::string> errorLines;  // standard error, line by line
};

class RunningChild {
public:
    // `environment` entries ("NAME=value") are added to this process's own.
    RunningChild(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& environment = {});
    ~RunningChild();  // kills a child that is still running
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    pid_t pid() const { return pid_; }
    // True once a whole line of standard output passes `test`; false when
    // the output ends or the deadline passes first.
    bool waitForLine(const std::function<bool(const std::string&)>& test, std::chrono::milliseconds deadline) {
        return waitForLines(test, 1, deadline);
    }
    // True once `count` whole lines of standard output pass `test`.
    bool waitForLines(const std::function<bool(const std::string&)>& test, std::size_t count,
                      std::chrono::milliseconds deadline);
    // Closes our end of its standard output, as a reader that went away
    // (`| head -1`) does: its later writes there fail.
    void closeOutput();
    // Reads the rest of the output and waits for the exit.
    ChildResult finish(std::chrono::milliseconds deadline);

private:
    bool pump(std::chrono::steady_clock::time_point end);  // false at the deadline
    std::vector<std::string> lines() const;

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    std::string out_, err_;
};

// The quenlo-flash program of this build.
inline const std::string kProgram = QUENLO_FLASH_PATH;

// Exit code, standard output and standard error, for a failed expectation.
std::string dump(const ChildResult& result);

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::seconds deadline = std::chrono::seconds(120),
                     const std::vector<std::string>& environment = {});

}  // namespace flash_test
