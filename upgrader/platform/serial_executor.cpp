#include "upgrader/platform/serial_executor.h"

#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "upgrader/platform/system_log.h"

namespace platform {

struct SerialExecutor::State {
    std::string label;
    std::mutex mutex;
    std::deque<std::function<void()>> queue;  // guarded by mutex
    bool scheduled = false;                   // a pool thread is draining; guarded by mutex
};

namespace {

thread_local const SerialExecutor::State* currentExecutor = nullptr;
std::atomic<long> pendingItems{0};  // queued on any executor, not yet run

QThreadPool& executorPool() {
    // Never destroyed, like the background thread: work may still be queued
    // while the process exits. Idle pool threads end after a while, and all
    // are joined before the application object goes.
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(4);
        return p;
    }();
    return *pool;
}

// Runs a bounded batch, then yields the pool thread so one busy executor
// cannot starve the others.
void drain(const std::shared_ptr<SerialExecutor::State>& state) {
    constexpr int kBatch = 64;
    for (int i = 0; i < kBatch; ++i) {
        std::function<void()> work;
        {
            std::lock_guard lock(state->mutex);
            if (state->queue.empty()) {
                state->scheduled = false;
                return;
            }
            work = std::move(state->queue.front());
            state->queue.pop_front();
        }
        currentExecutor = state.get();
        work();
        currentExecutor = nullptr;
        pendingItems.fetch_sub(1);
    }
    executorPool().start([state] { drain(state); });
}

}  // namespace

SerialExecutor::SerialExecutor(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
}

SerialExecutor::~SerialExecutor() = default;

const std::string& SerialExecutor::label() const {
    return state_->label;
}

void SerialExecutor::async(std::function<void()> work) {
    bool start = false;
    pendingItems.fetch_add(1);
    {
        std::lock_guard lock(state_->mutex);
        state_->queue.push_back(std::move(work));
        start = !state_->scheduled;
        state_->scheduled = true;
    }
    if (start) executorPool().start([state = state_] { drain(state); });
}

void SerialExecutor::sync(std::function<void()> work) {
    if (isCurrent()) {
        systemLog("%s: sync from its own work would deadlock; running it directly", state_->label.c_str());
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool done = false;
    async([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneChanged.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneChanged.wait(lock, [&] { return done; });
}

bool SerialExecutor::isCurrent() const {
    return currentExecutor == state_.get();
}

bool serialExecutorsIdle() {
    return pendingItems.load() == 0;
}

bool stopSerialExecutorThreads(std::chrono::milliseconds limit) {
    return executorPool().waitForDone(static_cast<int>(limit.count()));
}

}  // namespace platform
