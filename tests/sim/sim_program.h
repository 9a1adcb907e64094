// gimbal-sim run as a real child process, for tests of the program as users
// meet it: its output, its signals, its files, its link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "link/unique_fd.h"

namespace sim_test {

// Who runs the child. AsNobody matters only when the test runs as root: root
// passes the terminal's exclusive flag and every file mode, users do not.
enum class RunAs { Us, Nobody };

bool runningAsRoot();
// In a forked child: become nobody when root. False when that failed.
bool becomeNobodyIfRoot();

// A file the program wrote, whole (empty when it cannot be read).
std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path);

class Program {
public:
    // `folder`: the child's current folder; empty for ours.
    explicit Program(std::vector<std::string> args, RunAs as = RunAs::Us, const std::string& folder = {});
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig);
    // Reads standard output and error (one pipe) until `stop` appears, or to its end when `stop`
    // is empty (the program has exited then); 20 s at most.
    std::string readUntil(const std::string& stop);
    // The first line: the path the program prints once it plays.
    std::string firstLine();
    // Waits for the end; the exit code, or -1 when it did not exit normally.
    int exitCode();

private:
    pid_t pid_ = -1;
    gimbal::UniqueFd out_;
    std::string output_;
};

}  // namespace sim_test
