// For tests that a FIFO is never opened in a way that blocks: should an open
// block after all, a writer comes and goes after `patience`, so that the test
// fails (blocked() tells) instead of hanging. Stopped and joined on destruction.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace test_support {

class FifoUnblocker {
public:
    explicit FifoUnblocker(std::string fifo, std::chrono::seconds patience = std::chrono::seconds(20))
        : fifo_(std::move(fifo)), thread_([this, patience] { watch(patience); }) {}
    ~FifoUnblocker() {
        {
            const std::lock_guard<std::mutex> held(lock_);
            done_ = true;
        }
        over_.notify_all();
        thread_.join();
    }
    FifoUnblocker(const FifoUnblocker&) = delete;
    FifoUnblocker& operator=(const FifoUnblocker&) = delete;

    // True once it had to open the FIFO: something was blocked on it.
    bool blocked() const { return blocked_; }

private:
    void watch(std::chrono::seconds patience) {
        std::unique_lock<std::mutex> held(lock_);
        if (over_.wait_for(held, patience, [this] { return done_; })) return;
        blocked_ = true;
        const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }

    const std::string fifo_;
    std::mutex lock_;
    std::condition_variable over_;
    bool done_ = false;
    std::atomic<bool> blocked_{false};
    std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace test_support
