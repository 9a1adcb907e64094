// The request queue: one request in flight at a time, completed by its
// response, its time-out or (with no response expected) at once, then the
// next one is sent. Everything but the public entry points runs on the
// request-handling executor.
#include <algorithm>
#include <cmath>

#include "upgrader/platform/executor_timer.h"
#include "upgrader/platform/main_queue.h"
#include "upgrader/platform/serial_executor.h"
#include "upgrader/serial/kiv_serial_buffer.h"
#include "upgrader/serial/kiv_serial_port.h"
#include "upgrader/serial/kiv_serial_request.h"

namespace {

// The platform timer cannot wait longer in one go; a request that needs
// more than a day is timed out after one.
constexpr double kLongestTimeoutSeconds = 24.0 * 3600.0;

}  // namespace

bool KivSerialPort::sendRequest(const std::shared_ptr<KivSerialRequest>& request)
{
    if (!request)
        return false;
    bool result = false;
    requestHandlingQueue_->sync([&] { result = reallySendRequest(request); });
    return result;
}

void KivSerialPort::cancelQueuedRequest(const std::shared_ptr<KivSerialRequest>& request)
{
    if (!request)
        return;
    requestHandlingQueue_->async([self = shared_from_this(), request] {
        std::lock_guard lock(self->requestStateMutex_);
        if (request == self->pendingRequest_)
            return;  // a request in flight cannot be cancelled
        std::erase(self->requestsQueue_, request);
    });
}

void KivSerialPort::cancelAllQueuedRequests()
{
    requestHandlingQueue_->async([self = shared_from_this()] {
        std::lock_guard lock(self->requestStateMutex_);
        self->requestsQueue_.clear();
    });
}

std::vector<std::shared_ptr<KivSerialRequest>> KivSerialPort::queuedRequests() const
{
    std::lock_guard lock(requestStateMutex_);
    return {requestsQueue_.begin(), requestsQueue_.end()};
}

std::shared_ptr<KivSerialRequest> KivSerialPort::pendingRequest() const
{
    std::lock_guard lock(requestStateMutex_);
    return pendingRequest_;
}

// --- Request-handling executor ---

bool KivSerialPort::reallySendRequest(const std::shared_ptr<KivSerialRequest>& request)
{
    {
        std::lock_guard lock(requestStateMutex_);
        if (pendingRequest_) {
            requestsQueue_.push_back(request);
            return true;
        }
    }
    if (!startRequest(request))
        return false;
    checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(std::nullopt);
    return true;
}

// Makes the request the one in flight, arms its time-out and writes it.
bool KivSerialPort::startRequest(const std::shared_ptr<KivSerialRequest>& request)
{
    const auto& descriptor = request->responseDescriptor();
    requestResponseReceiveBuffer_ =
        KivSerialBuffer::initWithMaximumLength(descriptor ? descriptor->maximumPacketLength() : 0);
    setPendingRequest(request);
    // A timer left from an earlier request must never time this one out.
    cancelPendingRequestTimeoutTimer();
    const double seconds = request->timeoutInterval();
    if (seconds > 0) {  // false for NaN too
        const auto interval = std::chrono::nanoseconds(
            static_cast<std::int64_t>(std::min(seconds, kLongestTimeoutSeconds) * 1'000'000'000.0));
        pendingRequestTimeoutTimer_ = std::make_unique<platform::ExecutorTimer>(
            requestHandlingQueue_, interval, interval, interval / 10, [weak = weak_from_this()] {
                if (const auto self = weak.lock())
                    self->pendingRequestDidTimeout();
            });
        pendingRequestTimeoutTimer_->resume();
    }
    return sendData(request->dataToSend());
}

// With a byte: the byte joins the response of the request in flight. Without
// one (right after a successful write): a request that expects no response is
// complete at once.
void KivSerialPort::checkResponseToPendingRequestAndContinueIfValidWithReceivedByte(std::optional<std::uint8_t> byte)
{
    const auto request = pendingRequest_;
    if (!request)
        return;
    const auto descriptor = request->responseDescriptor();
    if (!byte) {
        if (!descriptor) {
            cancelPendingRequestTimeoutTimer();
            sendNextRequest();
        }
        return;
    }
    // Once timed out, the request waits only for the delegate to hear so;
    // a late response must not complete it a second time.
    if (pendingRequestTimedOut_ || !requestResponseReceiveBuffer_)
        return;
    const std::uint8_t single[1] = {*byte};
    requestResponseReceiveBuffer_->appendData(single);
    if (!descriptor)
        return;
    auto packet = descriptor->packetMatchingAtEndOfBuffer(requestResponseReceiveBuffer_->data());
    if (!packet)
        return;
    cancelPendingRequestTimeoutTimer();
    if (!packet->empty() && delegateResponds(KivSerialPortDelegateCallback::DidReceiveResponseToRequest)) {
        mainQueueCallDelegate(KivSerialPortDelegateCallback::DidReceiveResponseToRequest,
                              [packet = std::move(*packet), request](KivSerialPortDelegate& delegate,
                                                                      const auto& port) {
                                  delegate.serialPortDidReceiveResponseToRequest(port, packet, request);
                              });
    }
    sendNextRequest();
}

void KivSerialPort::pendingRequestDidTimeout()
{
    cancelPendingRequestTimeoutTimer();
    const auto request = pendingRequest_;
    if (!request || pendingRequestTimedOut_)
        return;
    if (!delegateResponds(KivSerialPortDelegateCallback::RequestDidTimeout)) {
        sendNextRequest();
        return;
    }
    // The request stays in flight until the delegate has returned, so what it
    // sends from the callback queues behind it.
    pendingRequestTimedOut_ = true;
    platform::mainQueueAsync([self = shared_from_this(), request] {
        if (const auto target = self->delegate();
            target && target->respondsToCallback(KivSerialPortDelegateCallback::RequestDidTimeout))
            target->serialPortRequestDidTimeout(self, request);
        self->requestHandlingQueue_->async([self, request] { self->continueAfterTimeoutOf(request); });
    });
}

void KivSerialPort::continueAfterTimeoutOf(const std::shared_ptr<KivSerialRequest>& request)
{
    // A close may have cleared it meanwhile, and something else may be in flight now.
    if (pendingRequest_ == request && pendingRequestTimedOut_)
        sendNextRequest();
}

// Sends queued requests until one is left waiting for its response, a write
// fails or the queue is empty. A loop rather than recursion through the
// response check, so a long run of requests that expect no response cannot
// exhaust the stack.
void KivSerialPort::sendNextRequest()
{
    for (;;) {
        std::shared_ptr<KivSerialRequest> next;
        {
            std::lock_guard lock(requestStateMutex_);
            pendingRequest_.reset();
            if (requestsQueue_.empty())
                break;
            next = std::move(requestsQueue_.front());
            requestsQueue_.pop_front();
        }
        if (!startRequest(next) || next->responseDescriptor())
            return;
        cancelPendingRequestTimeoutTimer();  // expects no response: complete at once
    }
    pendingRequestTimedOut_ = false;
    requestResponseReceiveBuffer_.reset();
}

void KivSerialPort::setPendingRequest(std::shared_ptr<KivSerialRequest> request)
{
    pendingRequestTimedOut_ = false;
    std::lock_guard lock(requestStateMutex_);
    pendingRequest_ = std::move(request);
}

// After a close whose delegate implements serialPortWasClosed: queued
// requests and the request in flight are dropped.
void KivSerialPort::clearRequestsAfterClose()
{
    {
        std::lock_guard lock(requestStateMutex_);
        requestsQueue_.clear();
        pendingRequest_.reset();
    }
    cancelPendingRequestTimeoutTimer();
    pendingRequestTimedOut_ = false;
    requestResponseReceiveBuffer_.reset();
}

// Executor only, or the destructor (when nothing else can run).
void KivSerialPort::cancelPendingRequestTimeoutTimer()
{
    if (pendingRequestTimeoutTimer_) {
        pendingRequestTimeoutTimer_->cancel();
        pendingRequestTimeoutTimer_.reset();
    }
}
