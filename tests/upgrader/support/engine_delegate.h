// A port delegate that hands received data to an upgrade engine, as the
// window's controller does, and notes how much arrived and when the port closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "upgrader/engine/upgrade_engine.h"
#include "upgrader/serial/kiv_serial_port.h"

namespace test_support {

using engine::UpgradeEngine;

class EngineDelegate : public serial::KivSerialPortDelegate {
public:
    explicit EngineDelegate(UpgradeEngine& engine) : engine_(engine) {}
    void serialPortWasRemovedFromSystem(const Port&) override {}
    void serialPortDidReceiveData(const Port& port, const Bytes& data) override {
        {
            std::lock_guard lock(mutex_);
            bytesReceived_ += data.size();
        }
        changed_.notify_all();
        engine_.serialPortDidReceiveData(port, data);
    }
    void serialPortWasClosed(const Port&) override {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }
    std::size_t bytesReceived() const {
        std::lock_guard lock(mutex_);
        return bytesReceived_;
    }
    // From another thread (the simulator's): until `count` bytes have reached
    // the engine, the port has closed, or the deadline has passed.
    void waitForBytes(std::size_t count, std::chrono::milliseconds deadline) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, deadline, [&] { return bytesReceived_ >= count || closed_; });
    }
    // The port's open has returned: what the line held before is flushed.
    void portOpened() {
        {
            std::lock_guard lock(mutex_);
            opened_ = true;
        }
        changed_.notify_all();
    }
    // A gimbal's announcement gate: nothing goes on the line that the open
    // could still flush, so every announcement sent is received.
    std::function<void(std::size_t)> openGate(std::chrono::milliseconds deadline) const {
        return [this, deadline](std::size_t) {
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, deadline, [&] { return opened_; });
        };
    }

private:
    UpgradeEngine& engine_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::size_t bytesReceived_ = 0;
    bool closed_ = false;
    bool opened_ = false;
};

}  // namespace test_support
