// quenlo-flash's standard output: a closed pipe (`| head -1`) or a full disk
// behind it must never stop an upgrade. Lines go to the descriptor at each
// flush; the first write that fails is told once through `onFailure`, and
// everything after it is dropped. The program ignores SIGPIPE, so a closed
// pipe is such a failure (EPIPE) and not the end of the process.
// Main thread only.
#pragma once

#include <functional>
#include <streambuf>
#include <string>

namespace flash {

class GuardedOutput : public std::streambuf {
public:
    GuardedOutput(int fd, std::function<void(int error)> onFailure);
    ~GuardedOutput() override;
    GuardedOutput(const GuardedOutput&) = delete;
    GuardedOutput& operator=(const GuardedOutput&) = delete;

    bool failed() const { return failed_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    void writeOut();

    int fd_;
    std::function<void(int)> onFailure_;
    std::string pending_;
    bool failed_ = false;
};

// "quenlo-flash: standard output: Broken pipe; nothing more is shown there,
// the upgrades go on".
std::string outputFailureText(int error);

}  // namespace flash
