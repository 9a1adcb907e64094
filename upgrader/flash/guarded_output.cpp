#include "upgrader/flash/guarded_output.h"

#include <cstring>

#include "link/posix_io.h"

namespace flash {

namespace {

// Written at once beyond this, so that output without a flush stays bounded.
constexpr std::size_t kMaxPending = 64 * 1024;

}  // namespace

GuardedOutput::GuardedOutput(int fd, std::function<void(int error)> onFailure)
    : fd_(fd), onFailure_(std::move(onFailure)) {}

GuardedOutput::~GuardedOutput() {
    writeOut();
}

GuardedOutput::int_type GuardedOutput::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
}

// Always takes everything: a failed output must not put the stream in a
// failed state that the code writing to it would have to care about.
std::streamsize GuardedOutput::xsputn(const char* text, std::streamsize count) {
    if (!failed_) pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.size() > kMaxPending) writeOut();
    return count;
}

int GuardedOutput::sync() {
    writeOut();
    return 0;
}

void GuardedOutput::writeOut() {
    if (failed_ || pending_.empty()) return;
    const gimbal::WriteResult w = gimbal::writeAll(fd_, pending_);
    pending_.clear();
    if (w.error == 0) return;
    failed_ = true;
    if (onFailure_) onFailure_(w.error);
}

std::string outputFailureText(int error) {
    return std::string("quenlo-flash: standard output: ") + std::strerror(error) +
           "; nothing more is shown there, the upgrades go on";
}

}  // namespace flash
