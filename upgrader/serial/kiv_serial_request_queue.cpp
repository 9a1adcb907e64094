#include "upgrader/serial/kiv_serial_request_queue.h"

#include <algorithm>
#include <chrono>

#include "upgrader/platform/executor_timer.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_request.h"

namespace serial {

namespace {

// The platform timer cannot wait longer in one go; a request that needs
// more than a day is timed out after one.
constexpr double kLongestTimeoutSeconds = 24.0 * 3600.0;

}  // namespace

KivSerialRequestQueue::KivSerialRequestQueue(std::shared_ptr<platform::SerialExecutor> executor, Port port)
    : executor_(std::move(executor)), port_(std::move(port)) {}

// The timer's own destruction cancels it.
KivSerialRequestQueue::~KivSerialRequestQueue() = default;

bool KivSerialRequestQueue::send(const Request& request) {
    if (!request) return false;
    bool result = false;
    executor_->sync([&] { result = sendOrQueue(request); });
    return result;
}

void KivSerialRequestQueue::cancel(const Request& request) {
    if (!request) return;
    executor_->async([this, keep = port_.keepAlive(), request] {
        std::lock_guard lock(mutex_);
        if (request == pending_) return;  // a request in flight cannot be cancelled
        std::erase(queue_, request);
    });
}

void KivSerialRequestQueue::cancelAll() {
    executor_->async([this, keep = port_.keepAlive()] {
        std::lock_guard lock(mutex_);
        queue_.clear();
    });
}

std::vector<KivSerialRequestQueue::Request> KivSerialRequestQueue::queued() const {
    std::lock_guard lock(mutex_);
    return {queue_.begin(), queue_.end()};
}

KivSerialRequestQueue::Request KivSerialRequestQueue::pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

// --- Executor ---

bool KivSerialRequestQueue::sendOrQueue(const Request& request) {
    {
        std::lock_guard lock(mutex_);
        if (pending_) {
            queue_.push_back(request);
            return true;
        }
    }
    if (!start(request)) return false;
    checkResponse(std::nullopt);
    return true;
}

// Makes the request the one in flight, arms its time-out and writes it.
bool KivSerialRequestQueue::start(const Request& request) {
    const auto& descriptor = request->responseDescriptor();
    responseBuffer_ = KivSerialBuffer::initWithMaximumLength(descriptor ? descriptor->maximumPacketLength() : 0);
    setPending(request);
    // A timer left from an earlier request must never time this one out.
    cancelTimeout();
    armTimeout(request);
    return port_.send(request->dataToSend());
}

void KivSerialRequestQueue::armTimeout(const Request& request) {
    const double seconds = request->timeoutInterval();
    if (!(seconds > 0))  // NaN too
        return;
    const auto interval = std::chrono::nanoseconds(
        static_cast<std::int64_t>(std::min(seconds, kLongestTimeoutSeconds) * 1'000'000'000.0));
    timeoutTimer_ = std::make_unique<platform::ExecutorTimer>(executor_, interval, interval, interval / 10,
                                                              [this, port = std::weak_ptr<void>(port_.keepAlive())] {
                                                                  if (const auto keep = port.lock())
                                                                      pendingDidTimeOut();
                                                              });
    timeoutTimer_->resume();
}

void KivSerialRequestQueue::takeReceivedByte(std::uint8_t byte) {
    checkResponse(byte);
}

// With a byte: the byte joins the response of the request in flight. Without
// one (right after a successful write): a request that expects no response is
// complete at once.
void KivSerialRequestQueue::checkResponse(std::optional<std::uint8_t> byte) {
    const auto request = pending_;
    if (!request) return;
    const auto descriptor = request->responseDescriptor();
    if (!byte) {
        if (!descriptor) {
            cancelTimeout();
            sendNext();
        }
        return;
    }
    // Once timed out, the request waits only for the delegate to hear so;
    // a late response must not complete it a second time.
    if (timedOut_ || !responseBuffer_) return;
    const std::uint8_t single[1] = {*byte};
    responseBuffer_->appendData(single);
    if (!descriptor) return;
    auto packet = descriptor->packetMatchingAtEndOfBuffer(responseBuffer_->data());
    if (!packet) return;
    cancelTimeout();
    if (!packet->empty()) port_.responded(std::move(*packet), request);
    sendNext();
}

void KivSerialRequestQueue::pendingDidTimeOut() {
    cancelTimeout();
    const auto request = pending_;
    if (!request || timedOut_) return;
    timedOut_ = port_.timedOut(request, [this, keep = port_.keepAlive(), request] {
        executor_->async([this, keep, request] { continueAfterTimeoutOf(request); });
    });
    if (!timedOut_) sendNext();
}

void KivSerialRequestQueue::continueAfterTimeoutOf(const Request& request) {
    // A close may have cleared it meanwhile, and something else may be in flight now.
    if (pending_ == request && timedOut_) sendNext();
}

// Sends queued requests until one is left waiting for its response, a write
// fails or the queue is empty. A loop rather than recursion through the
// response check, so a long run of requests that expect no response cannot
// exhaust the stack.
void KivSerialRequestQueue::sendNext() {
    for (;;) {
        Request next;
        {
            std::lock_guard lock(mutex_);
            pending_.reset();
            if (queue_.empty()) break;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        if (!start(next) || next->responseDescriptor()) return;
        cancelTimeout();  // expects no response: complete at once
    }
    timedOut_ = false;
    responseBuffer_.reset();
}

void KivSerialRequestQueue::setPending(Request request) {
    timedOut_ = false;
    std::lock_guard lock(mutex_);
    pending_ = std::move(request);
}

void KivSerialRequestQueue::clearAfterClose() {
    {
        std::lock_guard lock(mutex_);
        queue_.clear();
        pending_.reset();
    }
    cancelTimeout();
    timedOut_ = false;
    responseBuffer_.reset();
}

void KivSerialRequestQueue::cancelTimeout() {
    if (timeoutTimer_) {
        timeoutTimer_->cancel();
        timeoutTimer_.reset();
    }
}

}  // namespace serial
