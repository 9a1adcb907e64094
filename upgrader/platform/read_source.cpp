#include "upgrader/platform/read_source.h"

#include <QSocketNotifier>

#include "upgrader/platform/background_queue.h"

namespace platform {

// Touched on the background thread only, except the constructor's stores.
struct ReadSource::State {
    int fd = -1;
    std::function<void()> eventHandler;
    std::function<void()> cancelHandler;
    std::unique_ptr<QSocketNotifier> notifier;
    bool cancelled = false;
};

ReadSource::ReadSource(int fd, std::function<void()> eventHandler, std::function<void()> cancelHandler)
    : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->eventHandler = std::move(eventHandler);
    state_->cancelHandler = std::move(cancelHandler);
}

ReadSource::~ReadSource() {
    cancel();
}

void ReadSource::resume() {
    backgroundQueueAsync([state = state_] {
        if (state->cancelled) return;
        if (!state->notifier) {
            state->notifier = std::make_unique<QSocketNotifier>(state->fd, QSocketNotifier::Read);
            // The notifier is deleted only from queued work, never inside this slot.
            QObject::connect(state->notifier.get(), &QSocketNotifier::activated, [raw = state.get()] {
                if (!raw->cancelled && raw->eventHandler) raw->eventHandler();
            });
        }
        state->notifier->setEnabled(true);
    });
}

void ReadSource::suspend() {
    auto apply = [state = state_] {
        if (state->notifier) state->notifier->setEnabled(false);
    };
    if (isBackgroundThread())
        apply();
    else
        backgroundQueueAsync(std::move(apply));
}

void ReadSource::cancel() {
    backgroundQueueAsync([state = state_] {
        if (state->cancelled) return;
        state->cancelled = true;
        state->notifier.reset();
        state->eventHandler = nullptr;
        // Moved out first: the handler may drop the last reference to its owner.
        auto handler = std::move(state->cancelHandler);
        state->cancelHandler = nullptr;
        if (handler) handler();
    });
}

}  // namespace platform
