// A window program run as a child process (offscreen, as the tests run),
// its standard output read line by line, and the state it left a serial
// port in: what the signal tests of both windows need.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "link/unique_fd.h"

namespace test_support {

class WindowProcess {
public:
    // `unset`: names left out of the child's environment (DISPLAY, say).
    WindowProcess(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& unset = {});
    ~WindowProcess();  // kills and reaps a child still running
    WindowProcess(const WindowProcess&) = delete;
    WindowProcess& operator=(const WindowProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Reads standard output until a line equals `line`; false when the
    // child ended or the deadline passed first.
    bool waitForLine(const std::string& line, std::chrono::milliseconds deadline);
    bool signal(int sig) const;
    // The wait status once the child ended; none when the deadline passed.
    std::optional<int> waitForExit(std::chrono::milliseconds deadline);
    const std::string& output() const { return output_; }

private:
    bool readSome(std::chrono::steady_clock::time_point end);  // false on end of file or time-out

    pid_t pid_ = -1;
    gimbal::UniqueFd out_;
    std::string output_;
    std::size_t scanned_ = 0;
};

// Whether the tty at `path` carries the exclusive flag (TIOCGEXCL); none
// when it cannot be asked.
std::optional<bool> ttyExclusive(const std::string& path);
// Lock files that name the device at `path`, in every place lock files go.
std::vector<std::string> lockFilesFor(const std::string& path);

}  // namespace test_support
